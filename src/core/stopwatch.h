// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Measures whole seconds on the monotonic clock, so that a wait or a transfer
// timed across midnight, a daylight-saving change or a clock set back still
// counts right. Each user owns its stopwatch; Start and ElapsedSeconds may be
// called from different threads.

#include <atomic>
#include <cstdint>

namespace kestrel::core {

class Stopwatch {
 public:
  // Starts at once.
  Stopwatch();
  Stopwatch(const Stopwatch&) = delete;
  Stopwatch& operator=(const Stopwatch&) = delete;

  void Start();
  // Whole seconds since the last Start.
  [[nodiscard]] std::int32_t ElapsedSeconds() const;
  // Milliseconds until ElapsedSeconds next changes (1 to 1000).
  [[nodiscard]] int MillisecondsToNextSecond() const;

 private:
  std::atomic<std::int64_t> started_;  // monotonic hundredths
};

}  // namespace kestrel::core
