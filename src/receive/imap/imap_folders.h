// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Folder names as the server spells them. IMAPDONEFOLDER is written with
// "/" between its levels; a server tells its own hierarchy separator in the
// answer to LIST "" "" (dovecot's Maildir default is ".").

#include <optional>
#include <string>
#include <string_view>

namespace kestrel::receive {

// The separator an untagged "* LIST (\Noselect) "." """ line names; nothing
// when the line is no LIST response or says NIL (a flat namespace).
[[nodiscard]] std::optional<char> ListedSeparator(std::string_view line);

// `configured` with each "/" turned into the server's separator.
[[nodiscard]] std::string ServerFolderName(std::string_view configured,
                                           std::optional<char> separator);

}  // namespace kestrel::receive
