// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The record of what went wrong on a link, kept in the program's home for
// "kestrel --status": a file the server refused for a node, a bounce that
// returned a message sent to one. One line an event, "seconds kind node
// text", appended; once the record passes its bound it is written anew
// (temporary file, sync, rename) with its newer half. A lost or torn record
// costs only what the status tells, never mail.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::core {

// A week of refusals on busy links fits well; the status reads it whole.
inline constexpr std::size_t kMaxLinkEventBytes = 64 * 1024;
// A reply or bounce reason beyond this tells nothing more.
inline constexpr std::size_t kMaxLinkEventText = 160;

enum class LinkEventKind { Refused, Bounced };

struct LinkEvent {
  std::int64_t seconds = 0;
  LinkEventKind kind = LinkEventKind::Refused;
  std::string node;  // FidoNet address, as the redirect table has it
  std::string text;  // the server's reply or the bounce's reason, printable
};

// A whole number as the home's records write it; nothing for other text.
[[nodiscard]] std::optional<std::int64_t> WholeNumberOf(std::string_view text);

// The record in the home: the program's name with the extension LNK.
[[nodiscard]] std::string LinkEventPath();

// Adds an event made now to the record at `path`; false when it could not be
// written (the caller's work goes on regardless).
bool RecordLinkEvent(const std::string& path, LinkEventKind kind, std::string_view node,
                     std::string_view text);
// The same, to the record in the home.
bool RecordLinkEvent(LinkEventKind kind, std::string_view node, std::string_view text);

// The events of the record, oldest first; lines that cannot be read are
// passed over. A missing record holds none.
[[nodiscard]] std::vector<LinkEvent> ReadLinkEvents(const std::string& path);

}  // namespace kestrel::core
