// SPDX-License-Identifier: GPL-2.0-or-later
#include "console/json_text.h"

#include <cstdio>

namespace kestrel::console {
namespace {

// The length of the UTF-8 sequence at `at`, or 0 when it is none.
std::size_t Utf8Length(std::string_view text, std::size_t at) {
  const auto byte = static_cast<unsigned char>(text[at]);
  const std::size_t length = byte < 0x80                   ? 1
                             : byte >= 0xC2 && byte < 0xE0 ? 2
                             : byte >= 0xE0 && byte < 0xF0 ? 3
                             : byte >= 0xF0 && byte < 0xF5 ? 4
                                                           : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
  }
  // No overlong forms, surrogates or code points past U+10FFFF.
  const auto second = length > 1 ? static_cast<unsigned char>(text[at + 1]) : 0x80;
  if ((byte == 0xE0 && second < 0xA0) || (byte == 0xED && second >= 0xA0) ||
      (byte == 0xF0 && second < 0x90) || (byte == 0xF4 && second >= 0x90)) {
    return 0;
  }
  return length;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const char c = text[at];
    const std::size_t length = Utf8Length(text, at);
    if (length == 0) {
      json += "\\ufffd";
      ++at;
      continue;
    }
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
      json += escape;
    } else {
      json.append(text.substr(at, length));
    }
    at += length;
  }
  return json + "\"";
}

std::string JsonNumber(std::optional<std::int64_t> value) {
  return value ? std::to_string(*value) : "null";
}

}  // namespace kestrel::console
