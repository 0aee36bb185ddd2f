// SPDX-License-Identifier: GPL-2.0-or-later
#include "oauth/account.h"

#include "mime/ascii_text.h"

namespace kestrel::oauth {

std::string_view AccountWord(Account account) {
  switch (account) {
    case Account::Smtp:
      return "smtp";
    case Account::Pop3:
      return "pop";
    case Account::Imap:
      break;
  }
  return "imap";
}

std::string_view AccountLabel(Account account) {
  switch (account) {
    case Account::Smtp:
      return "SMTP";
    case Account::Pop3:
      return "POP3";
    case Account::Imap:
      break;
  }
  return "IMAP";
}

std::optional<Account> AccountNamed(std::string_view word) {
  const std::string upper = mime::UpperCase(word);
  if (upper == "POP3") return Account::Pop3;
  for (const Account account : kAccounts) {
    if (upper == mime::UpperCase(AccountWord(account))) return account;
  }
  return std::nullopt;
}

core::Side SideOf(Account account) {
  return account == Account::Smtp ? core::Side::Sending : core::Side::Receiving;
}

config::OAuthProvider ProviderOf(const config::Configuration& configuration, Account account) {
  switch (account) {
    case Account::Smtp:
      return configuration.SMTPOAUTH;
    case Account::Pop3:
      return configuration.POPOAUTH;
    case Account::Imap:
      break;
  }
  return configuration.IMAPOAUTH;
}

const std::string& UserOf(const config::Configuration& configuration, Account account) {
  switch (account) {
    case Account::Smtp:
      return configuration.SMTPUSERNAME;
    case Account::Pop3:
      return configuration.POPUSERNAME;
    case Account::Imap:
      break;
  }
  return configuration.IMAPUSERNAME;
}

Account ReceivingAccount(const config::Configuration& configuration) {
  return configuration.IMAPSERVER.empty() ? Account::Pop3 : Account::Imap;
}

}  // namespace kestrel::oauth
