// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The two ways a login dialogue gives up on a server, worded alike for SMTP,
// POP3 and IMAP.

#include <string>

#include "net/net_session.h"
#include "net/step_result.h"

namespace kestrel::net {

// Logs "-- WHY, aborting" and aborts the session. Returns false, for the
// caller to return in turn.
bool AbortWith(NetSession& session, const std::string& why);
// The same for a step that returns what happened: the failed result carries
// the reason.
[[nodiscard]] StepResult AbortStep(NetSession& session, const std::string& why);

// A refused login: logs "-- Login refused: REPLY" and notes the shortfall, so
// that the run does not report success; nothing when already aborted. Returns
// false.
bool LoginRefused(NetSession& session, const std::string& reply);

}  // namespace kestrel::net
