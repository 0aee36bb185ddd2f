// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Bookkeeping after the server confirmed a message: the file leaves its flow
// file or list, a file attach leaves the message subject, a netmail gets its
// sent flag, temporary packets go, files marked for it are deleted or
// truncated. Every file rewritten is replaced atomically.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/log.h"
#include "outbound/send_list.h"

namespace kestrel::send {

// The remap pair of the configuration: the scans remapped the paths of
// listed files, so the flow-file line of a file is found through it too.
struct PathRemap {
  std::string from;
  std::string to;
};

struct RecordResult {
  // An open file could not be read or written (disk full, I/O error): the
  // dialogue stops rather than send more mail whose bookkeeping fails too.
  bool io_error = false;
};

// Handles the entries of the message just confirmed and sets them Sent: the
// current entry (the one whose file the message carried) and every Taken
// entry with the same file (for a packed netmail: the same stored message).
// Entries left Taken by an earlier message that failed are not touched.
// Files that cannot be opened, created or deleted are passed over silently.
RecordResult RecordSent(outbound::SendList& list, int current_entry, core::Logger& logger,
                        const PathRemap& remap = {});

}  // namespace kestrel::send
