// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/clock.h"

#include <sys/time.h>

#include <chrono>
#include <ctime>
#include <mutex>
#include <utility>

namespace kestrel::platform {

namespace {

std::mutex clock_mutex;
ClockSource test_clock;
MonotonicSource test_monotonic;

LocalTime RealNow() {
  timeval now{};
  gettimeofday(&now, nullptr);
  std::tm local{};
  localtime_r(&now.tv_sec, &local);
  return LocalTime{local.tm_year + 1900,
                   local.tm_mon + 1,
                   local.tm_mday,
                   local.tm_hour,
                   local.tm_min,
                   local.tm_sec,
                   static_cast<int>(now.tv_usec / 10000)};
}

std::int64_t RealMonotonicHundredths() {
  using Hundredths = std::chrono::duration<std::int64_t, std::centi>;
  return std::chrono::duration_cast<Hundredths>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

LocalTime Now() {
  ClockSource source;
  {
    std::lock_guard guard(clock_mutex);
    source = test_clock;
  }
  return source ? source() : RealNow();
}

std::int64_t MonotonicHundredths() {
  MonotonicSource source;
  {
    std::lock_guard guard(clock_mutex);
    source = test_monotonic;
  }
  return source ? source() : RealMonotonicHundredths();
}

void SetClockForTesting(ClockSource source) {
  std::lock_guard guard(clock_mutex);
  test_clock = std::move(source);
}

void SetMonotonicClockForTesting(MonotonicSource source) {
  std::lock_guard guard(clock_mutex);
  test_monotonic = std::move(source);
}

}  // namespace kestrel::platform
