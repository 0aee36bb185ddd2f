// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The local wall clock, read with hundredths of a second, and a monotonic
// count of hundredths for measuring durations; tests replace both.

#include <cstdint>
#include <functional>

namespace kestrel::platform {

struct LocalTime {
  int year = 0;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int hundredths = 0;
};

using ClockSource = std::function<LocalTime()>;
using MonotonicSource = std::function<std::int64_t()>;

// The current local time, from the test clock when one is installed.
[[nodiscard]] LocalTime Now();

// Hundredths of a second from an arbitrary start; never goes back, whatever
// happens to the wall clock (daylight saving, the clock set back).
[[nodiscard]] std::int64_t MonotonicHundredths();

// Installs a clock for tests; an empty function restores the real one.
void SetClockForTesting(ClockSource source);
void SetMonotonicClockForTesting(MonotonicSource source);

}  // namespace kestrel::platform
