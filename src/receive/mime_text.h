// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Small helpers for the text of received mail: blanks, prefixes and the
// hexadecimal digits that quoted-printable, "Q" words and RFC 2231 percent
// escapes write bytes with.

#include <string_view>

namespace kestrel::receive {

[[nodiscard]] inline bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Without blanks and tabs at either end.
[[nodiscard]] inline std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

[[nodiscard]] inline bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// 0 to 15, or -1 for a character that is no hexadecimal digit.
[[nodiscard]] inline int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace kestrel::receive
