// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/secret_line.h"

#include <string>

namespace kestrel::net {

void SendSecretLine(NetSession& session, std::string_view line, std::string_view shown) {
  if (session.IsAborted()) return;
  // Suspending the echo keeps the real line out of the pane and the log.
  const bool was_suspended = session.LogSuspended;
  session.LogSuspended = true;
  SendLine(session, line);
  session.LogSuspended = was_suspended;
  if (!was_suspended && session.logger.IsOpen(session.side)) {
    LogLine(session, "-> " + std::string(shown));
  }
}

}  // namespace kestrel::net
