#include "core/stopwatch.h"

#include <array>
#include <atomic>

#include "platform/clock.h"

namespace kestrel::core {

namespace {

constexpr std::int32_t kHundredthsPerDay = 8'640'000;

struct Slot {
  std::atomic<std::int32_t> start{0};
  std::atomic<std::int32_t> stop{0};
};
std::array<Slot, kStopwatchSlots> slots;

}  // namespace

std::int32_t HundredthsSinceMidnight() {
  const platform::LocalTime now = platform::Now();
  return now.hour * 360000 + now.minute * 6000 + now.second * 100 + now.hundredths;
}

void StartTimer(int slot) {
  slots.at(slot).start = HundredthsSinceMidnight();
}

std::int32_t ElapsedSeconds(int slot) {
  Slot& s = slots.at(slot);
  std::int32_t stop = HundredthsSinceMidnight();
  while (stop < s.start) stop += kHundredthsPerDay;
  s.stop = stop;
  return (stop - s.start) / 100;
}

void StartAllTimers() {
  for (int slot = 0; slot < kStopwatchSlots; ++slot) StartTimer(slot);
}

}  // namespace kestrel::core
