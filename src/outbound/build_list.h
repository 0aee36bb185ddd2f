// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Building the send list of one run: the outbound, netmail and VFIDO scans,
// the summary lines, and the decision whether the amount is worth sending.
// The lines form the Check report when `report` asks for it in full, or
// when DISABLECHECK is off.

#include <atomic>
#include <cstdint>

#include "config/configuration.h"
#include "core/log.h"
#include "outbound/scan_context.h"
#include "outbound/send_list.h"
#include "outbound/untidied_files.h"

namespace kestrel::outbound {

// True while a build runs. Taken and released by BuildList only; a build that
// finds it taken gives up at once.
extern std::atomic<bool> ListBuilding;

enum class BuildOutcome {
  Send,             // something worth sending: start the send job
  NothingToSend,    // nothing found, or fewer files or bytes than the minimums
  AlreadyBuilding,  // another build runs; nothing was written or changed
  AddressError,     // a redirect address has no outbound path; the command ends
};

struct BuildResult {
  BuildOutcome outcome = BuildOutcome::NothingToSend;
  std::int64_t gross_bytes = 0;  // every entry's size, duplicates included
  [[nodiscard]] bool worth_sending() const { return outcome == BuildOutcome::Send; }
};

// Empties `list` (count and TotalBytes), runs the three scans in order, logs
// the summary on the sending side and judges MINIMUMFILES (against the entry
// count) and MINIMUMBYTES (against TotalBytes).
//
// Call after a successful sending-side ReadConfiguration, from one thread at
// a time per list; the send job must not be walking `list` meanwhile.
// AddressError: the scan has logged "** Address ... has no outbound path: ..."
// and no summary follows; the list is left empty so that no partial list can
// be sent. ListBuilding is released on every way out, exceptions included.
// Only reads the mailer's files. With `untidied`, files sent but not tidied
// are in the list Skipped and Untidied, out of the count and the totals.
// REDIRECT lines the table could not take and files the list could not take
// are problem lines that say how many (the list's Problems set).
[[nodiscard]] BuildResult BuildList(const config::Configuration& configuration, SendList& list,
                                    core::Logger& logger, Report report = Report::AsConfigured,
                                    const UntidiedFiles* untidied = nullptr);

}  // namespace kestrel::outbound
