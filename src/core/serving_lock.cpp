// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/serving_lock.h"

#include <chrono>

namespace kestrel::core {

namespace {

// How long one try waits for the lock before the pending writes are served.
constexpr auto kServeStep = std::chrono::milliseconds(2);

}  // namespace

std::unique_lock<std::timed_mutex> LockServingWrites(std::timed_mutex& mutex, FrontEnd& front_end) {
  std::unique_lock lock(mutex, std::defer_lock);
  if (!front_end.OnUserInterfaceThread()) {
    lock.lock();
    return lock;
  }
  while (!lock.try_lock_for(kServeStep)) front_end.ProcessPendingWrites();
  return lock;
}

}  // namespace kestrel::core
