// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Replaces the local wall clock and the monotonic clock for the lifetime of
// the object.

#include <atomic>

#include "platform/clock.h"

namespace kestrel::testing {

class FakeClock {
 public:
  explicit FakeClock(platform::LocalTime start);
  ~FakeClock();
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  // Sets the wall clock, as a user or a time service does: the monotonic
  // clock does not move.
  void Set(platform::LocalTime time);
  // Lets time pass: both clocks move on, the wall clock into the next day
  // (and month and year) past midnight.
  void AdvanceHundredths(int hundredths);

 private:
  std::atomic<long long> monotonic_{0};
  // The wall clock in hundredths since 1970-01-01, less monotonic_.
  std::atomic<long long> wall_offset_{0};
};

}  // namespace kestrel::testing
