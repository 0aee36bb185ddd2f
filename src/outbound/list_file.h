// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Flow files and VFIDO lists: text files naming one file to send per line,
// with an optional "^" (delete after sending) or "#" (truncate) in front.

#include <cstdint>
#include <optional>
#include <string>

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
  std::string path;  // opened, and stored as the entries' ListPath
  std::size_t max_line = kMaxFlowLine;
  int redirect_index = 0;
  // VFIDO lists repeat the "-- Redirect" line before each non-empty line.
  bool redirect_line_per_line = false;
};

// Adds a ListedFile entry for each file named by the list. Each non-empty line
// is upper-cased, loses its prefix and is remapped (reported while a remap
// pair is set); a name with no file gives "-- Could not find"; files of size 0
// are left out. A read error is reported as "-- Could not read " + path.
// Nothing when the list cannot be opened (the caller reports it). Only reads.
[[nodiscard]] std::optional<ListedTotals> ScanListFile(ScanContext& context, const ListFile& list);

// One name (prefix removed, remapped) of a list: its matching files as
// entries. A name without wildcards takes only the file it names.
ListedTotals AddNamedFiles(ScanContext& context, const std::string& name, AfterSendAction action,
                           const std::string& list_path, int redirect_index);

}  // namespace kestrel::outbound
