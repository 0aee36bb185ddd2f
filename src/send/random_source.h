// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The random numbers of message composition (boundaries, packet names).

namespace kestrel::send {

// A number from 0 up to, not including, bound (> 0). One generator per
// thread, seeded once from the clock and the system's entropy, so two draws in
// the same hundredth of a second still differ.
[[nodiscard]] int RandomBelow(int bound);

}  // namespace kestrel::send
