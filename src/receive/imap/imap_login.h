// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The start of the IMAP conversation: TLS from the first byte or STARTTLS
// after the greeting, the capabilities, and the login: AUTHENTICATE with a
// token (OAUTHBEARER, XOAUTH2) or with a password (PLAIN), else LOGIN; the
// initial response in the command where the server offers SASL-IR.

#include <set>
#include <string>
#include <string_view>

#include "config/configuration.h"
#include "net/login_result.h"
#include "receive/imap/imap_channel.h"

namespace kestrel::receive {

// The words of a CAPABILITY answer, upper-cased.
class ImapCapabilities {
 public:
  // Takes "* CAPABILITY ..." or a "[CAPABILITY ...]" response code.
  void Take(std::string_view line);
  [[nodiscard]] bool Has(std::string_view word) const;
  // The SASL mechanisms offered ("AUTH=PLAIN" ...), blank-separated.
  [[nodiscard]] std::string Mechanisms() const;

 private:
  std::set<std::string, std::less<>> words_;
};

// Runs from the greeting up to a logged-in session: in, with what the server
// can do then; failed, with a line that says why and the session aborted;
// or refused, when the server refused the password: a shortfall (the caller
// still says LOGOUT).
[[nodiscard]] net::LoginResult<ImapCapabilities> ImapLogin(
    ImapChannel& channel, const config::Configuration& configuration);

}  // namespace kestrel::receive
