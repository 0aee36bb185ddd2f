// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/imap/imap_fetch.h"

#include <charconv>

#include "mime/ascii_text.h"

namespace kestrel::receive {

namespace {

// Lists inside a value (BODYSTRUCTURE, ENVELOPE) nest no deeper in practice.
constexpr int kMaxListDepth = 64;

template <typename Number>
std::optional<Number> NumberOf(std::string_view text) {
  Number number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return number;
}

// The flag list "(\SEEN \DELETED)" holds `flag`.
bool HasFlag(std::string_view list, std::string_view flag) {
  for (std::size_t at = list.find(flag); at != std::string_view::npos;
       at = list.find(flag, at + 1)) {
    const std::size_t end = at + flag.size();
    const bool starts = at > 0 && (list[at - 1] == '(' || list[at - 1] == ' ');
    if (starts && end < list.size() && (list[end] == ' ' || list[end] == ')')) return true;
  }
  return false;
}

// Reads the items of a FETCH list from `text` (upper-cased) into `items`.
class ItemReader {
 public:
  ItemReader(std::string_view text, FetchItems& items) : text_(text), items_(items) {}

  void Read() {
    items_.literal_item.clear();
    while (!items_.ended) {
      SkipBlanks();
      if (at_ >= text_.size()) {
        items_.ended = true;  // a line ends only after a literal or the list
        return;
      }
      if (text_[at_] == ')') {
        items_.ended = true;
        return;
      }
      const std::string_view name = Name();
      if (name.empty() || at_ >= text_.size() || text_[at_] != ' ') {
        items_.ended = true;
        return;
      }
      ++at_;
      if (Literal()) {
        items_.literal_item = std::string(name);
        return;
      }
      const std::string_view value = Value();
      if (items_.ended) return;
      Take(name, value);
    }
  }

 private:
  void SkipBlanks() {
    while (at_ < text_.size() && text_[at_] == ' ') ++at_;
  }

  // An item name: an atom with an optional "[section]" (which may hold a
  // list) and "<partial>".
  std::string_view Name() {
    const std::size_t start = at_;
    int brackets = 0;
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c == '[') ++brackets;
      if (c == ']') --brackets;
      if (brackets == 0 && (c == ' ' || c == '(' || c == ')')) break;
      ++at_;
    }
    return text_.substr(start, at_ - start);
  }

  // "{123}" or "~{123}" ending the line: the value comes as a literal.
  bool Literal() {
    std::string_view rest = text_.substr(at_);
    if (!rest.empty() && rest.front() == '~') rest.remove_prefix(1);
    if (rest.size() < 3 || rest.front() != '{' || rest.back() != '}') return false;
    rest = rest.substr(1, rest.size() - 2);
    if (!rest.empty() && rest.back() == '+') rest.remove_suffix(1);
    return NumberOf<std::uint64_t>(rest).has_value();
  }

  // An atom, a number, a quoted string or a list; a literal inside a list
  // ends what can be read of the response.
  std::string_view Value() {
    const std::size_t start = at_;
    if (at_ < text_.size() && text_[at_] == '"') {
      if (!Quoted()) items_.ended = true;
      return text_.substr(start, at_ - start);
    }
    if (at_ < text_.size() && text_[at_] == '(') {
      int depth = 0;
      while (at_ < text_.size()) {
        const char c = text_[at_];
        if (c == '"') {
          if (!Quoted()) break;
          continue;
        }
        ++at_;
        if (c == '(' && ++depth > kMaxListDepth) break;
        if (c == ')' && --depth == 0) return text_.substr(start, at_ - start);
      }
      items_.ended = true;
      return {};
    }
    while (at_ < text_.size() && text_[at_] != ' ' && text_[at_] != ')') ++at_;
    return text_.substr(start, at_ - start);
  }

  // Past a quoted string; false when the line ends inside it.
  bool Quoted() {
    for (++at_; at_ < text_.size(); ++at_) {
      if (text_[at_] == '\\') {
        ++at_;
      } else if (text_[at_] == '"') {
        ++at_;
        return true;
      }
    }
    return false;
  }

  void Take(std::string_view name, std::string_view value) {
    if (name == "UID") {
      const std::optional<std::uint32_t> uid = NumberOf<std::uint32_t>(value);
      if (!uid || *uid == 0 || (items_.said_uid && *items_.said_uid != *uid)) {
        items_.uid_conflict = true;
      } else {
        items_.said_uid = uid;
      }
    } else if (name == "RFC822.SIZE") {
      items_.size = NumberOf<std::uint64_t>(value);
    } else if (name == "FLAGS") {
      items_.deleted = HasFlag(value, "\\DELETED");
    }
  }

  std::string_view text_;
  FetchItems& items_;
  std::size_t at_ = 0;
};

}  // namespace

std::optional<std::uint32_t> FetchItems::uid() const {
  if (uid_conflict) return std::nullopt;
  return said_uid;
}

bool FetchItems::MayBeAbout(std::uint32_t asked) const {
  return !uid_conflict && (!said_uid || *said_uid == asked);
}

std::optional<FetchItems> ParseFetch(std::string_view line) {
  const std::string upper = mime::UpperCase(std::string(line));
  if (upper.rfind("* ", 0) != 0) return std::nullopt;
  const std::size_t fetch = upper.find(" FETCH (", 2);
  if (fetch == std::string::npos) return std::nullopt;
  const std::optional<std::uint32_t> sequence =
      NumberOf<std::uint32_t>(std::string_view(upper).substr(2, fetch - 2));
  if (!sequence) return std::nullopt;
  FetchItems items;
  items.sequence = *sequence;
  ItemReader(std::string_view(upper).substr(fetch + 8), items).Read();
  return items;
}

void ParseFetchRest(std::string_view line, FetchItems& items) {
  if (items.ended) {
    items.literal_item.clear();
    return;
  }
  const std::string upper = mime::UpperCase(std::string(line));
  ItemReader(upper, items).Read();
}

}  // namespace kestrel::receive
