// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Bookkeeping after the server confirmed a message: the file leaves its flow
// file or list, a file attach leaves the message subject, a netmail gets its
// sent flag, files marked for it are deleted or truncated. Every list or
// message rewritten is replaced atomically under its owner, group and mode;
// a file to truncate is truncated in place.

#include <cstdint>
#include <string>
#include <string_view>

#include "config/configuration.h"
#include "core/log.h"
#include "outbound/send_list.h"

namespace kestrel::outbound {

struct RecordResult {
  // A list or message could not be read or rewritten (disk full, I/O error,
  // an owner that cannot be kept): the dialogue stops rather than send more
  // mail whose bookkeeping fails too.
  bool io_error = false;
  std::string failure;  // the first such failure's line, without its mark
};

// Handles the entries of the message just confirmed and sets them Sent: the
// current entry (the one whose file the message carried) and every Taken
// entry with the same file (for a packed netmail: the same stored message).
// Entries left Taken by an earlier message that failed are not touched.
// A list line stays while an entry of it did not go (a refused recipient);
// a file to delete or truncate stays while another entry or any list of the
// mailer still names it. Files that cannot be opened, created or deleted are
// passed over silently. The configuration gives FLOWREMAP, OUTBOUND and VFIDO.
RecordResult RecordSent(SendList& list, int current_entry, core::Logger& logger,
                        const config::Configuration& configuration);

}  // namespace kestrel::outbound
