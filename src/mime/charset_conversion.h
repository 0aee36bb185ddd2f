// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Text from other character sets made UTF-8, through the C library's iconv.
// The outgoing side replaces a byte that is not valid in its charset, so a
// text is never refused; a name that arrives in mail is taken as it came
// instead, since a name in an odd charset is still a name.

#include <optional>
#include <string>
#include <string_view>

namespace kestrel::mime {

// True when every byte is below 128.
[[nodiscard]] bool IsAscii(std::string_view text);

// True for the second and later bytes of a UTF-8 sequence.
[[nodiscard]] inline bool IsUtf8Continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// True when the bytes are well-formed UTF-8 (shortest forms, no surrogates).
[[nodiscard]] bool IsUtf8(std::string_view text);

// The text converted from `charset` (a name iconv knows, such as "CP866") to
// UTF-8. A byte sequence that is not valid in that charset becomes U+FFFD and
// the conversion goes on. Nothing when the system does not know the charset.
[[nodiscard]] std::optional<std::string> ConvertToUtf8(std::string_view text,
                                                       const std::string& charset);

// Text typed by the user (configuration values, HEADER.TXT, file names) as
// UTF-8: kept when it already is, else read as Windows-1252, which the
// configuration files of Windows-era installations were written in.
[[nodiscard]] std::string UserTextAsUtf8(std::string_view text);

// `bytes` of a declared charset (RFC 2047 words, RFC 2231 parameters) as
// UTF-8 for a file name. An empty or unknown charset, or bytes that are not
// valid in it, leave the bytes as they came.
[[nodiscard]] std::string DeclaredTextAsUtf8(std::string_view charset, std::string_view bytes);

}  // namespace kestrel::mime
