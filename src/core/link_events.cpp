// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/link_events.h"

#include <charconv>
#include <ctime>
#include <mutex>

#include "mime/ascii_text.h"
#include "platform/files.h"
#include "platform/program_home.h"

namespace kestrel::core {
namespace {

// The send job and the get job may record at once.
std::mutex record_lock;

constexpr std::string_view KindWord(LinkEventKind kind) {
  return kind == LinkEventKind::Refused ? "refused" : "bounced";
}

// One field without blanks or control characters, so that the line splits back.
std::string Field(std::string_view text) {
  std::string field = mime::Printable(text);
  for (char& c : field) {
    if (c == ' ' || c == '\t') c = '_';
  }
  return field.empty() ? "-" : field;
}

// The newer half of the record, from a line start.
std::string NewerHalf(const std::string& content) {
  const std::size_t cut = content.find('\n', content.size() / 2);
  return cut == std::string::npos ? std::string() : content.substr(cut + 1);
}

}  // namespace

std::optional<std::int64_t> WholeNumberOf(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::string LinkEventPath() {
  return platform::HomeFile(platform::ProgramBaseName() + ".LNK");
}

bool RecordLinkEvent(const std::string& path, LinkEventKind kind, std::string_view node,
                     std::string_view text) {
  std::string reason = mime::Printable(text);
  for (char& c : reason) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  if (reason.size() > kMaxLinkEventText) reason.resize(kMaxLinkEventText);
  const std::string line = std::to_string(static_cast<std::int64_t>(std::time(nullptr))) + " " +
                           std::string(KindWord(kind)) + " " + Field(node) + " " + reason + "\n";
  const std::lock_guard guard(record_lock);
  const std::optional<std::uint64_t> size = platform::FileSize(path);
  if (!size || *size + line.size() <= kMaxLinkEventBytes) {
    return platform::AppendDurably(path, line);
  }
  const std::optional<std::string> old = platform::ReadFilePrefix(path, 2 * kMaxLinkEventBytes);
  const std::string kept = old ? NewerHalf(*old) : std::string();
  return platform::ReplaceFileContent(path, kept + line);
}

bool RecordLinkEvent(LinkEventKind kind, std::string_view node, std::string_view text) {
  return RecordLinkEvent(LinkEventPath(), kind, node, text);
}

std::vector<LinkEvent> ReadLinkEvents(const std::string& path) {
  std::vector<LinkEvent> events;
  const std::optional<std::string> content = platform::ReadFilePrefix(path, 2 * kMaxLinkEventBytes);
  if (!content) return events;
  std::string_view rest = *content;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) break;  // a torn end: an event never made
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    const std::size_t kind_at = line.find(' ');
    const std::size_t node_at = line.find(' ', kind_at + 1);
    const std::size_t text_at = line.find(' ', node_at + 1);
    if (text_at == std::string_view::npos) continue;
    LinkEvent event;
    const std::optional<std::int64_t> seconds = WholeNumberOf(line.substr(0, kind_at));
    const std::string_view kind = line.substr(kind_at + 1, node_at - kind_at - 1);
    if (!seconds ||
        (kind != KindWord(LinkEventKind::Refused) && kind != KindWord(LinkEventKind::Bounced))) {
      continue;
    }
    event.seconds = *seconds;
    event.kind =
        kind == KindWord(LinkEventKind::Refused) ? LinkEventKind::Refused : LinkEventKind::Bounced;
    event.node = std::string(line.substr(node_at + 1, text_at - node_at - 1));
    event.text = std::string(line.substr(text_at + 1));
    events.push_back(std::move(event));
  }
  return events;
}

}  // namespace kestrel::core
