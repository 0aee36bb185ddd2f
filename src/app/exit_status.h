// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The process's exit statuses, the one contract for cron and timers (README,
// "Exit status"; the manual's EXIT STATUS).

#include "net/session_outcome.h"

namespace kestrel::app {

// Every job ran and everything due went out or came in (or nothing was due).
inline constexpr int kExitSuccess = 0;
// A job aborted, or a file or mail could not be sent or saved.
inline constexpr int kExitFailure = 1;
// The command line or a configuration could not be used.
inline constexpr int kExitUsage = 2;

// What a run came to, as far as its exit status tells.
struct RunOutcome {
  // Or a list build met a malformed address, or a job found its set-up at
  // fault (a server name that does not exist, a home it cannot write).
  bool configuration_unusable = false;
  bool task_failed = false;  // a task did not start or ended in an error; a dial failed
  net::SessionOutcome::Kind worst_job = net::SessionOutcome::Kind::Done;
};

// The one place where what happened becomes the exit status.
[[nodiscard]] inline int ExitStatusFor(const RunOutcome& run) {
  if (run.configuration_unusable) return kExitUsage;
  if (run.task_failed || run.worst_job != net::SessionOutcome::Kind::Done) return kExitFailure;
  return kExitSuccess;
}

}  // namespace kestrel::app
