// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/encoded_words.h"

#include <optional>

#include "mime/base64.h"
#include "mime/charset_conversion.h"
#include "mime/mime_text.h"

namespace kestrel::mime {
namespace {

struct EncodedWord {
  std::string charset;
  std::string bytes;
  std::size_t length = 0;  // characters of the text it took
};

// The encoded word at the start of `text` ("=?charset?B?text?="), if any.
std::optional<EncodedWord> ParseWord(std::string_view text) {
  if (text.substr(0, 2) != "=?") return std::nullopt;
  const auto charset_end = text.find('?', 2);
  if (charset_end == std::string_view::npos || charset_end + 3 > text.size() ||
      text[charset_end + 2] != '?')
    return std::nullopt;
  const char encoding = text[charset_end + 1];
  const auto end = text.find("?=", charset_end + 3);
  if (end == std::string_view::npos) return std::nullopt;
  const std::string_view encoded = text.substr(charset_end + 3, end - charset_end - 3);
  if (encoded.find(' ') != std::string_view::npos) return std::nullopt;
  EncodedWord word;
  // RFC 2231 lets a language follow the charset: "UTF-8*en".
  word.charset = text.substr(2, charset_end - 2);
  word.charset = word.charset.substr(0, word.charset.find('*'));
  if (encoding == 'B' || encoding == 'b') {
    word.bytes = DecodeBase64Line(encoded);
  } else if (encoding == 'Q' || encoding == 'q') {
    word.bytes = UnescapeHex(encoded, '=', true);  // "Q"
  } else {
    return std::nullopt;
  }
  word.length = end + 2;
  return word;
}

bool OnlyBlanks(std::string_view text) {
  return text.find_first_not_of(" \t") == std::string_view::npos;
}

}  // namespace

std::string DecodeEncodedWords(std::string_view text) {
  std::string decoded;
  // Adjacent words of one charset are joined before conversion: a character
  // may be split between two of them.
  std::string charset;
  std::string bytes;
  std::size_t literal_start = 0;
  auto flush_bytes = [&] {
    decoded += DeclaredTextAsUtf8(charset, bytes);
    bytes.clear();
  };
  std::size_t at = 0;
  while ((at = text.find("=?", at)) != std::string_view::npos) {
    const std::optional<EncodedWord> word = ParseWord(text.substr(at));
    if (!word) {
      at += 2;
      continue;
    }
    const std::string_view between = text.substr(literal_start, at - literal_start);
    const bool joins = !bytes.empty() && OnlyBlanks(between);
    if (!joins || word->charset != charset) {
      flush_bytes();
      if (!joins) decoded += between;
      charset = word->charset;
    }
    bytes += word->bytes;
    at += word->length;
    literal_start = at;
  }
  flush_bytes();
  decoded += text.substr(literal_start);
  return decoded;
}

}  // namespace kestrel::mime
