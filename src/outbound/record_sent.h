// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Bookkeeping after the server confirmed a message: the file leaves its flow
// file or list, a file attach leaves the message subject, a netmail gets its
// sent flag, files marked for it are deleted or truncated. Every list or
// message rewritten is replaced atomically under its owner, group and mode;
// a file to truncate is truncated in place.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

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
  // The entries whose file stays queued though the server confirmed it: its
  // list line, subject word or sent flag could not be written, or the packet
  // or kill-sent message could not be deleted. The sent record keeps them so
  // that later runs tidy them and do not mail them again.
  std::vector<int> untidied;
  // Something of the message could not be tidied (those entries, or a file
  // that could not be deleted or truncated): the run does not end in success.
  bool not_tidied = false;
};

// Handles the entries of the message just confirmed and sets them Sent: the
// current entry (the one whose file the message carried) and every Taken
// entry with the same file (for a packed netmail: the same stored message).
// Entries left Taken by an earlier message that failed are not touched.
// A list line stays while an entry of it did not go (a refused recipient);
// a file to delete or truncate stays while another entry or any list of the
// mailer still names it (the mailer's lists are read at the first such
// question of the run, see ListedNames). Every failure to tidy is a problem
// line ("-- Could not delete PATH: REASON"); files that are gone meanwhile are
// passed over. The configuration gives FLOWREMAP, OUTBOUND and VFIDO.
// `before_change` runs once, before the first list, message or file of the
// mailer changes (a rewrite's new content already synced, so that a sync made
// there goes to the disk in the same commit); not at all when none changes.
RecordResult RecordSent(SendList& list, int current_entry, core::Logger& logger,
                        const config::Configuration& configuration,
                        const std::function<void()>& before_change = {});

}  // namespace kestrel::outbound
