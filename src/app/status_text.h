// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The status report in words, as "kestrel --status" prints it and the
// window's status view shows it: each link's columns, the receiving side's
// lines and the whole text.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/status_report.h"

namespace kestrel::app {

// A time as the status shows it ("2026-12-08 05:45", local); "never" for none.
[[nodiscard]] std::string StatusTimeText(std::optional<std::int64_t> seconds);

// One link's parts; the ones that may be absent are empty then.
struct LinkStatusText {
  std::string link;       // "ADDRESS -> EMAIL (NAME)"
  std::string waiting;    // "1 file, 60 bytes"
  std::string oldest;     // the oldest waiting file's time
  std::string untidied;   // "1 file"
  std::string last_sent;  // a time, or "never"
  std::string held;       // "FLAG (pid PID) since TIME"
  std::string refused;    // "2 times since, the last at TIME: REPLY"
  std::string bounced;    // "1 time since, the last at TIME"
};

[[nodiscard]] LinkStatusText TextOf(const LinkStatus& link);

// The receiving side's lines, then one for each side's last run.
[[nodiscard]] std::vector<std::string> ReceivingLines(const StatusReport& report);

// Everything "kestrel --status" prints, a line each, without line ends.
[[nodiscard]] std::vector<std::string> StatusLines(const StatusReport& report);

}  // namespace kestrel::app
