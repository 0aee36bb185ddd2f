#pragma once
// Replaces the local clock for the lifetime of the object.

#include <atomic>

#include "platform/clock.h"

namespace kestrel::testing {

class FakeClock {
 public:
  explicit FakeClock(platform::LocalTime start);
  ~FakeClock();
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  void Set(platform::LocalTime time);
  // Moves the clock on; wraps past midnight into the next day.
  void AdvanceHundredths(int hundredths);

 private:
  mutable std::atomic<long long> hundredths_of_day_;
  platform::LocalTime date_;
};

}  // namespace kestrel::testing
