// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Reproducible file contents for the tests: every byte value, from a seed.

#include <cstddef>
#include <random>
#include <string>

namespace kestrel::testing {

inline std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

}  // namespace kestrel::testing
