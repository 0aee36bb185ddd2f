// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The mail accounts whose logins may use OAuth 2.0 tokens the program
// obtains itself: the SMTP account of the sending side, the POP3 or IMAP
// account of the receiving side. Each has its own provider key and token file.

#include <optional>
#include <string>
#include <string_view>

#include "config/configuration.h"
#include "core/side.h"

namespace kestrel::oauth {

enum class Account { Smtp, Pop3, Imap };

inline constexpr Account kAccounts[] = {Account::Smtp, Account::Pop3, Account::Imap};

// "smtp", "pop", "imap": the word of `kestrel --login` and of the token file.
[[nodiscard]] std::string_view AccountWord(Account account);
// "SMTP", "POP3", "IMAP", for lines a sysop reads.
[[nodiscard]] std::string_view AccountLabel(Account account);
// The account a `--login` word names ("pop3" too), in any letter case.
[[nodiscard]] std::optional<Account> AccountNamed(std::string_view word);

[[nodiscard]] core::Side SideOf(Account account);
[[nodiscard]] config::OAuthProvider ProviderOf(const config::Configuration& configuration,
                                               Account account);
[[nodiscard]] const std::string& UserOf(const config::Configuration& configuration,
                                        Account account);
// The account the receiving side's configuration logs in to (IMAP when
// IMAPSERVER is set).
[[nodiscard]] Account ReceivingAccount(const config::Configuration& configuration);

}  // namespace kestrel::oauth
