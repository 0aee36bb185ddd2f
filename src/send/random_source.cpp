// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/random_source.h"

#include <chrono>
#include <random>

namespace kestrel::send {

int RandomBelow(int bound) {
  thread_local std::mt19937 generator = [] {
    std::random_device entropy;
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    std::seed_seq seed{entropy(), entropy(), static_cast<unsigned>(ticks),
                       static_cast<unsigned>(ticks >> 32)};
    return std::mt19937(seed);
  }();
  std::uniform_int_distribution<int> draw(0, bound - 1);
  return draw(generator);
}

}  // namespace kestrel::send
