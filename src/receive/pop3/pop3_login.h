// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The start of the POP3 conversation: greeting, USER and PASS; or, when TLS,
// a password command or a token command is configured, TLS from the first
// byte or STLS after the greeting, and AUTH XOAUTH2/OAUTHBEARER for a token.

#include <cstdint>
#include <string>

#include "config/configuration.h"
#include "net/login_result.h"
#include "net/net_session.h"

namespace kestrel::receive {

// What a CAPA answer offers (RFC 2449); nothing for a server without CAPA.
struct Pop3Capabilities {
  std::string sasl;                      // the SASL mechanisms, upper case
  bool pipelining = false;               // commands may go out before the replies to earlier ones
  std::int64_t login_delay_seconds = 0;  // the least time between logins; 0: none given
};

// Runs from the greeting up to STAT: in, with what the server offers once
// logged in; failed, with a log line and the session aborted; or refused,
// when the server refused USER or PASS: then the caller still says QUIT.
// A refusal is a shortfall; one that asks for a pause (also of a token) is
// a shortfall only once the mailbox is stale.
[[nodiscard]] net::LoginResult<Pop3Capabilities> Pop3Login(
    net::NetSession& session, const config::Configuration& configuration);

}  // namespace kestrel::receive
