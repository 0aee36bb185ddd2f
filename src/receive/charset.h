// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Text of a declared character set (RFC 2047 words, RFC 2231 parameters)
// made UTF-8 for file names, with glibc's iconv.

#include <string>
#include <string_view>

namespace kestrel::receive {

// `bytes` in `charset` as UTF-8. An empty or unknown charset, or bytes that
// are not valid in it, leave the bytes as they came: a name in an odd charset
// is still a name.
[[nodiscard]] std::string ToUtf8(std::string_view charset, std::string_view bytes);

}  // namespace kestrel::receive
