// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// RFC 2047 encoded words ("=?UTF-8?B?...?=", "=?ISO-8859-1?Q?...?="), which
// many mail clients also put inside quoted parameter values such as file
// names.

#include <string>
#include <string_view>

namespace kestrel::mime {

// The text with every well-formed encoded word decoded to UTF-8. Blanks
// between two encoded words vanish; everything else stays as it is.
[[nodiscard]] std::string DecodeEncodedWords(std::string_view text);

}  // namespace kestrel::mime
