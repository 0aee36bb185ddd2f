// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// JSON output written by hand: strings quoted with every character a parser
// must see escaped, numbers and nulls as JSON has them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::console {

// `text` as a JSON string: quotes, backslashes and control characters
// escaped, bytes that are no UTF-8 as U+FFFD, so any parser takes it.
[[nodiscard]] std::string JsonString(std::string_view text);

// A number, or null.
[[nodiscard]] std::string JsonNumber(std::optional<std::int64_t> value);

}  // namespace kestrel::console
