// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Taking a lock that a worker may hold while it waits for the user-interface
// thread to carry out one of its pane writes: on that thread the wait carries
// out the handed-over writes between short tries, or the two would wait for
// each other for ever.

#include <mutex>

#include "core/front_end.h"

namespace kestrel::core {

// Locks `mutex`; on the user-interface thread, serves the front end's pending
// writes while it waits. Elsewhere a plain blocking lock.
[[nodiscard]] std::unique_lock<std::timed_mutex> LockServingWrites(std::timed_mutex& mutex,
                                                                   FrontEnd& front_end);

}  // namespace kestrel::core
