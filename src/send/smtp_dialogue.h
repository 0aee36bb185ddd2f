// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The send job's conversation with the SMTP server: greeting and HELO, then one
// message per distinct file of the send list (one RCPT TO per entry of that
// file), the server's confirmation, the bookkeeping on the mailer's files, and
// QUIT. Busy flags (.bsy, holding our process id) guard each node's outbound
// while its file goes.

#include "config/configuration.h"
#include "net/net_session.h"
#include "net/step_result.h"
#include "outbound/send_list.h"

namespace kestrel::send {

inline constexpr std::uint16_t kDefaultSmtpPort = 25;

// HOST, SMTPPORT and NETTIMEOUT as the connection layer takes them.
[[nodiscard]] net::Endpoint SmtpEndpoint(const config::Configuration& configuration);

// Runs on the worker thread inside net::RunSession, on a connected sending
// session. The outcome is in the log, in the entries' states and on disk,
// and in the session's: a file kept is a shortfall, a failure aborts it.
// Returns ok, or the failure that ended the conversation.
net::StepResult SmtpDialogue(net::NetSession& session, outbound::SendList& list,
                             const config::Configuration& configuration);

}  // namespace kestrel::send
