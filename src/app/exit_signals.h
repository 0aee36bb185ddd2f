// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The signals that end the program the way the Exit command does (its steps
// run: jobs stopped, busy flags removed, logs closed): SIGINT, SIGTERM,
// SIGHUP (a closed terminal, a reload) and SIGQUIT.

#include <atomic>
#include <thread>

#include "app/controller.h"

namespace kestrel::app {

// Blocks the exit signals in the calling thread, so that every thread made
// afterwards leaves them to the watcher. Call it before any thread exists.
void BlockExitSignals();

// Waits for an exit signal on a thread of its own and hands Exit to the
// user-interface thread; a signal that arrives after the end is ignored.
class ExitSignalWatcher {
 public:
  explicit ExitSignalWatcher(Controller& controller);
  ~ExitSignalWatcher();
  ExitSignalWatcher(const ExitSignalWatcher&) = delete;
  ExitSignalWatcher& operator=(const ExitSignalWatcher&) = delete;

 private:
  void Watch();

  Controller& controller_;
  std::atomic<bool> done_{false};
  std::atomic<bool> signalled_{false};
  std::thread thread_;
};

}  // namespace kestrel::app
