// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/secret_line.h"

#include <string>

#include "net/command_limit.h"

namespace kestrel::net {

void SendSecretLine(NetSession& session, std::string_view line, std::string_view shown,
                    std::size_t limit) {
  if (session.IsAborted() || !FitsCommandLine(session, line, limit)) return;
  // Suspending the echo keeps the real line out of the pane and the log.
  const bool was_suspended = session.log_suspended();
  {
    const SuspendedLog quiet(session);
    SendLine(session, line, limit);
  }
  if (!was_suspended && session.logger().IsOpen(session.side())) {
    LogLine(session, "-> " + std::string(shown));
  }
}

}  // namespace kestrel::net
