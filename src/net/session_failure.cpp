// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/session_failure.h"

#include "core/log.h"

namespace kestrel::net {

bool AbortWith(NetSession& session, const std::string& why) {
  LogAndAbort(session, ("-- " + why + ", aborting").substr(0, core::kMaxLogLine));
  return false;
}

StepResult AbortStep(NetSession& session, const std::string& why) {
  (void)AbortWith(session, why);
  return StepResult::Of(session);
}

bool LoginRefused(NetSession& session, const std::string& reply) {
  if (session.IsAborted()) return false;
  LogLine(session, ("-- Login refused: " + reply).substr(0, core::kMaxLogLine));
  session.NoteShortfall("the login", reply);
  return false;
}

}  // namespace kestrel::net
