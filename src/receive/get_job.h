#pragma once
// The get job: one POP3 session with the job's configuration, reachable by
// the Stop command for as long as its connection exists.

#include "app/jobs.h"

namespace kestrel::receive {

[[nodiscard]] app::JobOutcome RunGetJob(app::JobContext& context);

}  // namespace kestrel::receive
