// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/header_encoding.h"

#include <algorithm>

#include "mime/base64.h"
#include "mime/charset_conversion.h"

namespace kestrel::mime {

namespace {

// RFC 2047: an encoded word is at most 75 characters.
constexpr std::size_t kMaxEncodedWord = 75;
// "=?" "?B?" "?=" around the charset and the encoded text.
constexpr std::size_t kEncodedWordFrame = 7;
// Percent-encoded characters per RFC 2231 section.
constexpr std::size_t kMaxExtendedSection = 60;
// RFC 5322 specials that make a display name a quoted string. "." stays
// unquoted: initials such as "J. Smith" are read fine as they are.
constexpr std::string_view kPhraseSpecials = "()<>[]:;@\\,\"";
// RFC 2045 tspecials.
constexpr std::string_view kMimeSpecials = "()<>@,;:\\\"/[]?=";
constexpr std::string_view kHexDigits = "0123456789ABCDEF";

bool IsAttributeChar(unsigned char c) {
  // RFC 2231 attribute-char: a token character other than "*", "'" and "%".
  return c > ' ' && c < 0x7F &&
         kMimeSpecials.find(static_cast<char>(c)) == std::string_view::npos && c != '*' &&
         c != '\'' && c != '%';
}

}  // namespace

std::vector<std::string> EncodedWords(std::string_view text, std::string_view charset) {
  const bool utf8 = charset == kUtf8Charset;
  const std::size_t max_bytes = (kMaxEncodedWord - kEncodedWordFrame - charset.size()) / 4 * 3;
  std::vector<std::string> words;
  std::size_t at = 0;
  do {
    std::size_t length = std::min(max_bytes, text.size() - at);
    if (utf8 && at + length < text.size()) {
      // Back off to the start of the character that would be cut.
      std::size_t back = length;
      while (back > 0 && IsUtf8Continuation(text[at + back])) --back;
      if (back > 0) length = back;
    }
    words.push_back("=?" + std::string(charset) + "?B?" + EncodeBase64(text.substr(at, length)) +
                    "?=");
    at += length;
  } while (at < text.size());
  return words;
}

std::vector<std::string> HeaderTextWords(std::string_view text, std::string_view charset) {
  if (IsAscii(text)) return {std::string(text)};
  return EncodedWords(text, charset);
}

std::vector<std::string> DisplayNameWords(std::string_view name) {
  if (!IsAscii(name)) return EncodedWords(UserTextAsUtf8(name), kUtf8Charset);
  if (name.find_first_of(kPhraseSpecials) == std::string_view::npos) return {std::string(name)};
  return {QuotedString(name)};
}

bool IsMimeToken(std::string_view value) {
  if (value.empty()) return false;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte >= 0x7F || kMimeSpecials.find(c) != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

std::string QuotedString(std::string_view value) {
  std::string quoted = "\"";
  for (const char c : value) {
    if (c == '"' || c == '\\') quoted.push_back('\\');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

std::vector<std::string> ExtendedParameter(std::string_view name, std::string_view utf8_value) {
  std::vector<std::string> sections;  // percent-encoded, never splitting an escape
  std::string current;
  for (const char c : utf8_value) {
    const auto byte = static_cast<unsigned char>(c);
    std::string piece(1, c);
    if (!IsAttributeChar(byte)) {
      piece = {'%', kHexDigits[byte >> 4], kHexDigits[byte & 0x0F]};
    }
    if (current.size() + piece.size() > kMaxExtendedSection) {
      sections.push_back(std::move(current));
      current.clear();
    }
    current += piece;
  }
  sections.push_back(std::move(current));

  const std::string charset = std::string(kUtf8Charset) + "''";
  if (sections.size() == 1) return {std::string(name) + "*=" + charset + sections.front()};
  std::vector<std::string> parameters;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    std::string parameter = std::string(name) + "*" + std::to_string(i) +
                            "*=" + (i == 0 ? charset : std::string()) + sections[i];
    if (i + 1 < sections.size()) parameter += ";";
    parameters.push_back(std::move(parameter));
  }
  return parameters;
}

}  // namespace kestrel::mime
