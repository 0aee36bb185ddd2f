// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The process's exit statuses, the one contract for cron and timers (README,
// "Exit status"; the manual's EXIT STATUS).

namespace kestrel::app {

// Every job ran and everything due went out or came in (or nothing was due).
inline constexpr int kExitSuccess = 0;
// A job aborted, or a file or mail could not be sent or saved.
inline constexpr int kExitFailure = 1;
// The command line or a configuration could not be used.
inline constexpr int kExitUsage = 2;

}  // namespace kestrel::app
