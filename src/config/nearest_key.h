// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The known key a misspelt one most likely meant ("INBUOND": "INBOUND").

#include <span>
#include <string>
#include <string_view>

namespace kestrel::config {

// The first of `keys` within one edit of `word` (two for words of eight or
// more letters), counting a swap of neighbours as one edit; empty when none
// is that close.
[[nodiscard]] std::string NearestKey(std::string_view word, std::span<const std::string_view> keys);

}  // namespace kestrel::config
