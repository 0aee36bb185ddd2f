// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The attribute word of stored and packed messages: the bits the program and
// its tests look at.

#include <cstdint>

namespace kestrel::fido {

inline constexpr std::uint16_t kAttrPrivate = 0x0001;
inline constexpr std::uint16_t kAttrCrash = 0x0002;
inline constexpr std::uint16_t kAttrSent = 0x0008;
inline constexpr std::uint16_t kAttrFileAttached = 0x0010;
inline constexpr std::uint16_t kAttrInTransit = 0x0020;
inline constexpr std::uint16_t kAttrKillSent = 0x0080;
// Written on this system (not passing through); never set in a packet.
inline constexpr std::uint16_t kAttrLocal = 0x0100;

}  // namespace kestrel::fido
