// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Header text that mail readers take as written: non-ASCII text as RFC 2047
// encoded words, display names with specials quoted, MIME parameter values
// quoted (RFC 2045) or in the extended form of RFC 2231. Plain ASCII text
// without specials passes through unchanged.
//
// Results are "words": pieces that the caller writes one after the other,
// separated by folding white space (a line end and a blank), so that no
// header line grows beyond what a line carries.

#include <string>
#include <string_view>
#include <vector>

namespace kestrel::mime {

// Charset names as encoded words and the text part name them.
inline constexpr std::string_view kUtf8Charset = "UTF-8";
inline constexpr std::string_view kUnknown8bitCharset = "unknown-8bit";  // RFC 1428

// Encoded words ("=?charset?B?...?=", at most 75 characters each) carrying the
// bytes of `text`; with UTF-8 no character is split between two words.
[[nodiscard]] std::vector<std::string> EncodedWords(std::string_view text,
                                                    std::string_view charset);

// Unstructured header text (a subject): one word, the text itself, when it is
// ASCII; else encoded words in `charset`.
[[nodiscard]] std::vector<std::string> HeaderTextWords(std::string_view text,
                                                       std::string_view charset);

// A display name for "To:" or "From:", taken as user text (UTF-8, or
// Windows-1252 when it is not): as it is when ASCII without specials, as a
// quoted string when it holds specials such as "," or "(", as UTF-8 encoded
// words when it holds other characters. Never empty: an empty name is one
// empty word.
[[nodiscard]] std::vector<std::string> DisplayNameWords(std::string_view name);

// True when the value can stand unquoted as a MIME parameter (an RFC 2045
// token).
[[nodiscard]] bool IsMimeToken(std::string_view value);

// The value as a quoted string, with "\" before every '"' and '\'.
[[nodiscard]] std::string QuotedString(std::string_view value);

// An RFC 2231 parameter for a UTF-8 value ("name*=UTF-8''J%C3%B6rg.zip"), cut
// into numbered sections ("name*0*=...", "name*1*=...") when it is long; each
// section but the last ends with ";".
[[nodiscard]] std::vector<std::string> ExtendedParameter(std::string_view name,
                                                         std::string_view utf8_value);

}  // namespace kestrel::mime
