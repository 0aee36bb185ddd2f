// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Number, date and word utilities shared by every part of the program.

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::core {

// Text arguments of the word utilities are cut to this many characters first.
inline constexpr std::size_t kMaxUtilityText = 132;
// Only the first characters of a word count.
inline constexpr std::size_t kMaxWord = 80;

// Decimal value left-padded with "0"; too long a number becomes "?" and its
// last width-1 characters.
[[nodiscard]] std::string ZeroPadNumber(std::int64_t value, int width);
// Decimal value right-aligned with blanks; overflow as ZeroPadNumber.
[[nodiscard]] std::string SpacePadNumber(std::int64_t value, int width);

// "08:05 " (with a trailing blank).
[[nodiscard]] std::string TimeText();
// " 6-Dec-2026".
[[nodiscard]] std::string DateText();

// Leading run of "-" and digits as a 32-bit integer; 0 if empty or invalid.
[[nodiscard]] std::int32_t TextToInt(std::string_view text);

// One trailing "\" (or "/") removed, except from a drive root such as "C:\"
// and from the POSIX root "/".
[[nodiscard]] std::string StripTrailingBackslash(std::string_view path);

// The n-th word (1-based); a tab ends the skipping of blanks but not a word.
[[nodiscard]] std::string WordAt(std::string_view text, int n);
// The text without the characters of its n-th word; the blanks around it stay.
[[nodiscard]] std::string DeleteWord(std::string_view text, int n);
// Leading blanks removed; tabs stay.
[[nodiscard]] std::string TrimLeadingBlanks(std::string_view text);

// `part` of `whole` (above 0) in whole percent, rounded down: "37%".
[[nodiscard]] std::string PercentText(std::int64_t part, std::int64_t whole);

}  // namespace kestrel::core
