// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The charset a FidoNet message text declares in its control lines:
// "^ACHRS: CP866 2" (FTS-5003; "CHARSET" in older software), or failing that
// "^ACODEPAGE: 866".

#include <optional>
#include <string>
#include <string_view>

namespace kestrel::fido {

// A FidoNet charset identifier ("CP866", "LATIN-1", "IBMPC", "+7_FIDO", ...)
// as the name iconv knows it; an identifier without a known alias is passed
// on upper-cased, for iconv to accept or refuse.
[[nodiscard]] std::string IconvCharsetName(std::string_view fido_name);

// The iconv name of the charset a message text declares (the first such
// control line counts); nothing when it declares none.
[[nodiscard]] std::optional<std::string> DeclaredCharset(std::string_view text);

}  // namespace kestrel::fido
