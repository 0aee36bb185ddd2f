// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/fake_clock.h"

#include <chrono>

namespace kestrel::testing {

namespace {

constexpr long long kDay = 8'640'000;

long long ToHundredths(const platform::LocalTime& t) {
  const std::chrono::year_month_day date{std::chrono::year{t.year},
                                         std::chrono::month{static_cast<unsigned>(t.month)},
                                         std::chrono::day{static_cast<unsigned>(t.day)}};
  const long long days = std::chrono::sys_days{date}.time_since_epoch().count();
  return days * kDay + t.hour * 360000LL + t.minute * 6000LL + t.second * 100LL + t.hundredths;
}

platform::LocalTime FromHundredths(long long total) {
  const std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{total / kDay}}};
  const long long h = total % kDay;
  return platform::LocalTime{static_cast<int>(date.year()),
                             static_cast<int>(static_cast<unsigned>(date.month())),
                             static_cast<int>(static_cast<unsigned>(date.day())),
                             static_cast<int>(h / 360000),
                             static_cast<int>(h / 6000 % 60),
                             static_cast<int>(h / 100 % 60),
                             static_cast<int>(h % 100)};
}

}  // namespace

FakeClock::FakeClock(platform::LocalTime start) : wall_offset_(ToHundredths(start)) {
  platform::SetClockForTesting([this] { return FromHundredths(monotonic_ + wall_offset_); });
  platform::SetMonotonicClockForTesting([this] { return monotonic_.load(); });
}

FakeClock::~FakeClock() {
  platform::SetClockForTesting({});
  platform::SetMonotonicClockForTesting({});
}

void FakeClock::Set(platform::LocalTime time) {
  wall_offset_ = ToHundredths(time) - monotonic_;
}

void FakeClock::AdvanceHundredths(int hundredths) {
  monotonic_ += hundredths;
}

}  // namespace kestrel::testing
