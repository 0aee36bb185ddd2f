// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Small helpers for the text of received mail: blanks, prefixes and the
// hexadecimal escapes that quoted-printable, "Q" words and RFC 2231 values
// write bytes with.

#include <string>
#include <string_view>

namespace kestrel::mime {

[[nodiscard]] inline bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Without blanks and tabs at either end.
[[nodiscard]] inline std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Without blanks, tabs and stray CRs at either end: a CR that the line end
// left behind is no content of an encoded line or a header value.
[[nodiscard]] inline std::string_view TrimWhitespace(std::string_view text) {
  const auto space = [](char c) { return IsBlank(c) || c == '\r'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

// "Name:" with a name of printable characters: a header field of any kind.
[[nodiscard]] inline bool LooksLikeHeaderField(std::string_view line) {
  const auto colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  for (std::size_t i = 0; i < colon; ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c <= 32 || c >= 127) return false;
  }
  return true;
}

// A header line without the CR that a line end may leave behind.
[[nodiscard]] inline std::string_view WithoutStrayCr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
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

// `escape` and two hexadecimal digits turned into that byte ("=E2" in "Q"
// words, "%E2" in RFC 2231 values); with underscore_is_blank, "_" stands for
// a blank ("Q" words). Anything else stays as it is.
[[nodiscard]] inline std::string UnescapeHex(std::string_view text, char escape,
                                             bool underscore_is_blank = false) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == escape && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      bytes.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      bytes.push_back(underscore_is_blank && text[i] == '_' ? ' ' : text[i]);
    }
  }
  return bytes;
}

}  // namespace kestrel::mime
