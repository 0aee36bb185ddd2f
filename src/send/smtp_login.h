// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The start of the SMTP conversation: greeting and HELO, or, when TLS or
// authentication is configured, EHLO with STARTTLS or TLS from the first byte
// and AUTH (PLAIN, LOGIN, XOAUTH2 or OAUTHBEARER, as the server offers).

#include "config/configuration.h"
#include "net/net_session.h"

namespace kestrel::send {

// True when the conversation needs EHLO: TLS or authentication configured.
[[nodiscard]] bool NeedsExtendedSmtp(const config::Configuration& configuration);

// Runs from the greeting up to the first MAIL FROM. A failure is a log line
// and Aborted; nothing is ever sent in plain text once TLS was asked for.
void OpenSmtpConversation(net::NetSession& session, const config::Configuration& configuration);

}  // namespace kestrel::send
