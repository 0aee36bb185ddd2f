// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Flow files and VFIDO lists: text files naming one file to send per line,
// with an optional "^" (delete after sending) or "#" (truncate) in front, as
// the Linux mailers write them: "~" marks a line already sent, which the
// mailer keeps until the whole list is done, and trailing blanks and tabs are
// no part of a name.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "outbound/scan_context.h"

namespace kestrel::outbound {

// Flow-file lines keep this many characters, VFIDO list lines fewer.
inline constexpr std::size_t kMaxFlowLine = 255;
inline constexpr std::size_t kMaxVfidoLine = 80;

// What one list added for its system's report line.
struct ListedTotals {
  int files = 0;
  std::int64_t bytes = 0;
};

struct ListFile {
  std::string path;  // the real path: opened, and stored as the entries' ListPath
  std::size_t max_line = kMaxFlowLine;
  int redirect_index = 0;
  // VFIDO lists repeat the "-- Redirect" line before each non-empty line.
  bool redirect_line_per_line = false;
};

struct ListLine {
  AfterSendAction action = AfterSendAction::Nothing;
  std::string name;  // without its prefix and its trailing blanks and tabs
};

// Nothing for a line that names no file to send: an empty one, or one marked
// "~" as sent.
[[nodiscard]] std::optional<ListLine> ParseListLine(std::string_view line);

// A listed name after FLOWREMAP, cut to the list's line length.
[[nodiscard]] std::string RemappedName(const config::Configuration& configuration,
                                       std::string_view name, std::size_t max_line);

// Flow files and lists are read no further than this when rewritten or searched whole.
inline constexpr std::uint64_t kMaxListBytes = 16u * 1024 * 1024;

// The line length of a list: a VFIDO list (*.LST) or a flow file.
[[nodiscard]] std::size_t MaxLineOf(std::string_view list_path);

// True when a list line names the file at `real_path` for sending: its name,
// remapped, is looked up to that file as the scans look it up. Lines marked
// "~" and names with wildcards (which stand for more than one file) never do.
[[nodiscard]] bool LineNamesFile(const config::Configuration& configuration, std::string_view line,
                                 std::size_t max_line, const std::string& real_path);

// Adds a ListedFile entry for each file named by the list. Each line that
// names a file loses its prefix and is remapped (reported while a remap pair
// is set); a name with no file gives "-- Could not find"; files of size 0 are
// left out. A read error is reported as "-- Could not read " + path. Nothing
// when the list cannot be opened (the caller reports it). Only reads.
[[nodiscard]] std::optional<ListedTotals> ScanListFile(ScanContext& context, const ListFile& list);

// One name (prefix removed, remapped) of a list: its matching files as
// entries under their real paths. A name without wildcards takes only the
// file it names, looked up as written before any other letter case.
ListedTotals AddNamedFiles(ScanContext& context, const std::string& name, AfterSendAction action,
                           const std::string& list_path, int redirect_index);

}  // namespace kestrel::outbound
