#include "receive/get_job.h"

#include "net/net_session.h"
#include "receive/pop3_dialogue.h"

namespace kestrel::receive {

app::JobOutcome RunGetJob(app::JobContext& context) {
  const config::Configuration& configuration = context.configuration();
  net::NetSession session(app::Side::Receiving, configuration, context.logger());
  context.SetAbortHandler([&session] { session.Abort(); });
  net::RunSession(session,
                  [&configuration](net::NetSession& s) { RunPop3Dialogue(s, configuration); });
  context.ClearAbortHandler();
  return {session.IsAborted()};
}

}  // namespace kestrel::receive
