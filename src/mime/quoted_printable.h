// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Quoted-printable (RFC 2045, 6.7): text lines of any bytes as 7-bit lines of
// at most 76 characters, which every mail path carries without 8BITMIME.

#include <string>
#include <string_view>
#include <vector>

namespace kestrel::mime {

// The longest encoded line, soft line break included.
inline constexpr std::size_t kMaxQuotedPrintableLine = 76;

// One text line (without its line end) as encoded lines: every line but the
// last ends with the soft line break "=".
[[nodiscard]] std::vector<std::string> QuotedPrintableLines(std::string_view line);

}  // namespace kestrel::mime
