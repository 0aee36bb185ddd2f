// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/dead_process.h"

#include <sys/wait.h>
#include <unistd.h>

namespace kestrel::testing {

pid_t EndedProcessId() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  return child;
}

}  // namespace kestrel::testing
