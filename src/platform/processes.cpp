// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/processes.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace kestrel::platform {

long OwnProcessId() {
  return static_cast<long>(getpid());
}

bool ProcessRunning(long pid) {
  if (pid <= 0 || static_cast<long>(static_cast<pid_t>(pid)) != pid) return false;
  // Signal 0 only asks; a process of another user answers EPERM.
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace kestrel::platform
