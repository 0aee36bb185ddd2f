// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/imap_fetch.h"

#include <charconv>
#include <string>

#include "core/text_utils.h"

namespace kestrel::receive {

namespace {

// The number after the item `name` (preceded by "(" or a blank).
template <typename Number>
std::optional<Number> NumberAfter(const std::string& upper, std::string_view name) {
  for (std::size_t at = upper.find(name); at != std::string::npos; at = upper.find(name, at + 1)) {
    const bool starts = at > 0 && (upper[at - 1] == '(' || upper[at - 1] == ' ');
    const std::size_t value = at + name.size();
    if (!starts || value >= upper.size() || upper[value] != ' ') continue;
    Number number = 0;
    const char* const begin = upper.data() + value + 1;
    const auto [end, error] = std::from_chars(begin, upper.data() + upper.size(), number);
    if (error == std::errc() && end != begin) return number;
  }
  return std::nullopt;
}

}  // namespace

std::optional<FetchItems> ParseFetch(std::string_view line) {
  const std::string upper = core::UpperCase(std::string(line));
  if (upper.rfind("* ", 0) != 0) return std::nullopt;
  const std::size_t fetch = upper.find(" FETCH (");
  if (fetch == std::string::npos) return std::nullopt;
  const std::string items = upper.substr(fetch + 7);
  FetchItems parsed;
  parsed.uid = NumberAfter<std::uint32_t>(items, "UID");
  parsed.size = NumberAfter<std::uint64_t>(items, "RFC822.SIZE");
  const std::size_t flags = items.find("FLAGS (");
  if (flags != std::string::npos) {
    const std::string list = items.substr(flags, items.find(')', flags) - flags);
    parsed.deleted = list.find("\\DELETED") != std::string::npos;
  }
  return parsed;
}

bool CarriesSection(std::string_view line, std::string_view item) {
  const std::string upper = core::UpperCase(std::string(line));
  const std::size_t at = upper.rfind(item);
  return upper.find(" FETCH (") != std::string::npos && at != std::string::npos &&
         upper.back() == '}' && upper.find('{', at) != std::string::npos;
}

}  // namespace kestrel::receive
