// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/stopwatch.h"

#include "platform/clock.h"

namespace kestrel::core {

Stopwatch::Stopwatch() : started_(platform::MonotonicHundredths()) {}

void Stopwatch::Start() {
  started_ = platform::MonotonicHundredths();
}

std::int32_t Stopwatch::ElapsedSeconds() const {
  return static_cast<std::int32_t>((platform::MonotonicHundredths() - started_) / 100);
}

int Stopwatch::MillisecondsToNextSecond() const {
  const std::int64_t hundredths = platform::MonotonicHundredths() - started_;
  return static_cast<int>(100 - hundredths % 100) * 10;
}

}  // namespace kestrel::core
