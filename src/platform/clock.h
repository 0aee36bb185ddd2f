#pragma once
// The local wall clock, read with hundredths of a second; tests replace it.

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

// The current local time, from the test clock when one is installed.
[[nodiscard]] LocalTime Now();

// Installs a clock for tests; an empty function restores the real one.
void SetClockForTesting(ClockSource source);

}  // namespace kestrel::platform
