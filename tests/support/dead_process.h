// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The id of a process that has ended, for busy flags left behind by a
// program that is gone.

#include <sys/types.h>

namespace kestrel::testing {

// Starts a process that ends at once and waits for it; its id names no
// running process afterwards (until the system hands it out again).
[[nodiscard]] pid_t EndedProcessId();

}  // namespace kestrel::testing
