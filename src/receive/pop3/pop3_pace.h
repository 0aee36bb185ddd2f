// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The pace a POP3 server sets for logins (RFC 2449): the delay it announces
// in CAPA ("LOGIN-DELAY n") and its refusals with [LOGIN-DELAY] or [IN-USE].
// The last login and the delay then announced are kept in the home, so that
// a refusal reads as a pause (a failure only once the mailbox has stayed
// unread past STALEHOURS), and a poller does not knock before its time.

#include <cstdint>
#include <string>
#include <string_view>

#include "config/configuration.h"
#include "net/net_session.h"

namespace kestrel::receive {

// True for a refusal that asks the client to come back later.
[[nodiscard]] bool IsPacedRefusal(std::string_view reply);

// Logs a paced refusal, read whole, as a pause; notes a shortfall only when
// the mailbox has not been read for STALEHOURS (or was never read by this
// program).
void NotePacedRefusal(net::NetSession& session, const config::Configuration& configuration,
                      const std::string& reply);

// Records a login now, with the delay the server announced (0: none).
void RecordLogin(net::NetSession& session, const config::Configuration& configuration,
                 std::int64_t delay_seconds);

// The line a poller logs when the server's announced delay since the last
// login has not passed; empty when a login is due.
[[nodiscard]] std::string LoginTooSoonLine(const config::Configuration& configuration);

}  // namespace kestrel::receive
