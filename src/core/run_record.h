// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The record of each side's last run, kept in the program's home for
// "kestrel --status": one line a side, "send SECONDS STATUS" and
// "receive SECONDS STATUS", the time the side's job ended and the exit status
// the run had then; and "left SECONDS MESSAGES", how many messages the
// filters left on the server at the end of the last receiving run that
// looked at the whole mailbox. A line of its own, so that a reader that knows
// only the first two takes the record as it is. Written whole (temporary
// file, sync, rename) at each job's end, so a crash leaves the old record or
// the new one.

#include <cstdint>
#include <optional>
#include <string>

#include "core/side.h"

namespace kestrel::core {

struct RunEnd {
  std::int64_t seconds = 0;
  int exit_status = 0;
};

// The record in the home: the program's name with the extension RUN.
[[nodiscard]] std::string RunRecordPath();

struct LeftOnServer {
  std::int64_t seconds = 0;  // when the run that counted them ended
  std::uint64_t messages = 0;
};

// Sets the side's line to a run ended now, and with `left_by_filters` the
// count of messages the filters left; without it the count recorded before
// stays. False when the record could not be written (the run's own outcome
// stays as it is).
bool RecordRunEnd(const std::string& path, Side side, int exit_status,
                  std::optional<std::uint64_t> left_by_filters = std::nullopt);

// The side's last run as recorded; nothing when no run of it was.
[[nodiscard]] std::optional<RunEnd> ReadRunEnd(const std::string& path, Side side);

// The messages the filters left, as last counted; nothing when never.
[[nodiscard]] std::optional<LeftOnServer> ReadLeftByFilters(const std::string& path);

}  // namespace kestrel::core
