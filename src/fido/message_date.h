// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The date field of stored and packed messages alike: "06 Dec 26  19:05:42"
// and its NUL.

#include <cstddef>

namespace kestrel::fido {

inline constexpr std::size_t kMessageDateSize = 20;

}  // namespace kestrel::fido
