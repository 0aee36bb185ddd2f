// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/step_result.h"

namespace kestrel::net {

StepResult StepResult::Of(const NetSession& session) {
  if (!session.IsAborted()) return Ok();
  return Failed(session.Outcome().abort_reason());
}

StepResult FailStep(NetSession& session, std::string_view line) {
  LogAndAbort(session, line);
  return StepResult::Of(session);
}

}  // namespace kestrel::net
