// SPDX-License-Identifier: GPL-2.0-or-later
#include "dialup/dial_state.h"

#include <chrono>

namespace kestrel::dialup {

void DialEventQueue::Push(const DialEvent& event) {
  {
    std::lock_guard guard(mutex_);
    events_.push_back(event);
  }
  arrived_.notify_all();
}

std::vector<DialEvent> DialEventQueue::Take() {
  std::lock_guard guard(mutex_);
  std::vector<DialEvent> taken(events_.begin(), events_.end());
  events_.clear();
  return taken;
}

void DialEventQueue::WaitFor(int milliseconds) {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                    [&] { return !events_.empty(); });
}

void DialEventQueue::Clear() {
  std::lock_guard guard(mutex_);
  events_.clear();
}

}  // namespace kestrel::dialup
