#pragma once
// Ten numbered stopwatches measuring whole seconds from the local clock, in
// hundredths since midnight; a measurement that crosses midnight stays right
// for up to a day.

#include <cstdint>

namespace kestrel::core {

inline constexpr int kStopwatchSlots = 10;
// Slot owners; each user owns its slot.
inline constexpr int kSlotSendNetwork = 1;
inline constexpr int kSlotTransferFile = 2;
inline constexpr int kSlotTransferTotal = 3;
inline constexpr int kSlotDialup = 5;
inline constexpr int kSlotGetNetwork = 6;
inline constexpr int kSlotSendPolling = 7;
inline constexpr int kSlotGetPolling = 8;
inline constexpr int kSlotPop3 = 9;

void StartTimer(int slot);
[[nodiscard]] std::int32_t ElapsedSeconds(int slot);
void StartAllTimers();

// Hundredths of a second since local midnight, now.
[[nodiscard]] std::int32_t HundredthsSinceMidnight();

}  // namespace kestrel::core
