// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The record of each side's last run, kept in the program's home for
// "kestrel --status": one line a side, "send SECONDS STATUS" and
// "receive SECONDS STATUS", the time the side's job ended and the exit status
// the run had then. Written whole (temporary file, sync, rename) at each
// job's end, so a crash leaves the old record or the new one.

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

// Sets the side's line to a run ended now; false when the record could not
// be written (the run's own outcome stays as it is).
bool RecordRunEnd(const std::string& path, Side side, int exit_status);

// The side's last run as recorded; nothing when no run of it was.
[[nodiscard]] std::optional<RunEnd> ReadRunEnd(const std::string& path, Side side);

}  // namespace kestrel::core
