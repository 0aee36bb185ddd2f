#include "support/fake_clock.h"

namespace kestrel::testing {

namespace {

constexpr long long kDay = 8'640'000;

long long ToHundredths(const platform::LocalTime& t) {
  return t.hour * 360000LL + t.minute * 6000LL + t.second * 100LL + t.hundredths;
}

}  // namespace

FakeClock::FakeClock(platform::LocalTime start)
    : hundredths_of_day_(ToHundredths(start)), date_(start) {
  platform::SetClockForTesting([this] {
    long long h = hundredths_of_day_.load() % kDay;
    platform::LocalTime t = date_;
    t.hour = static_cast<int>(h / 360000);
    t.minute = static_cast<int>(h / 6000 % 60);
    t.second = static_cast<int>(h / 100 % 60);
    t.hundredths = static_cast<int>(h % 100);
    return t;
  });
}

FakeClock::~FakeClock() {
  platform::SetClockForTesting({});
}

void FakeClock::Set(platform::LocalTime time) {
  date_ = time;
  hundredths_of_day_ = ToHundredths(time);
}

void FakeClock::AdvanceHundredths(int hundredths) {
  hundredths_of_day_ += hundredths;
}

}  // namespace kestrel::testing
