// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The start of the SMTP conversation: the greeting, EHLO (HELO when the
// server does not know EHLO), STARTTLS or TLS from the first byte when
// configured, and AUTH (PLAIN, LOGIN, XOAUTH2 or OAUTHBEARER, as the server
// offers).

#include <cstdint>

#include "config/configuration.h"
#include "net/net_session.h"

namespace kestrel::send {

// True when the conversation needs the extensions: TLS or authentication
// configured. Without them a server that refuses EHLO is greeted with HELO.
[[nodiscard]] bool NeedsExtendedSmtp(const config::Configuration& configuration);

// What the server said of message sizes in its EHLO reply (RFC 1870).
struct SizeOffer {
  bool announced = false;   // SIZE offered: MAIL FROM may carry SIZE=
  std::uint64_t limit = 0;  // its largest message; 0: none stated
};

// What the server offers for sending: SIZE, and whether commands may go
// ahead of their replies (PIPELINING, RFC 2920) and messages as counted
// chunks (CHUNKING, RFC 3030).
struct ServerOffer {
  SizeOffer size;
  bool pipelining = false;
  bool chunking = false;
};

// Runs from the greeting up to the first MAIL FROM. A failure is a log line
// and Aborted; nothing is ever sent in plain text once TLS was asked for.
[[nodiscard]] ServerOffer OpenSmtpConversation(net::NetSession& session,
                                               const config::Configuration& configuration);

}  // namespace kestrel::send
