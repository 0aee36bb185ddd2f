// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Runs procedures on worker threads and reports each worker's end and errors
// back on the user-interface thread, through the dispatcher the front end
// drives. Every worker gets a small watcher thread that waits for it to end and
// then has the task's end report run on the user-interface thread while it
// waits.
//
// A thread cannot be ended by force on POSIX. Kill gives the workers a short
// grace to end by themselves and then abandons the rest: they leave the worker
// list, their end is never reported, and nothing waits for them any more; the
// program is expected to end the process soon after (HasAbandonedWorkers).

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "app/ui_dispatcher.h"

namespace kestrel::app {

// Raised by Spawn with one of the texts below.
class WinThreadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kLockFailed = "Could not obtain lock mutex";
inline constexpr const char* kCreateFailed = "Could not create thread";
inline constexpr const char* kCreateWatcherFailed = "Could not create thread 2";
inline constexpr const char* kWaitFailed = "Wait for thread failed";

// Identifies a worker; 0 is none.
using WorkerHandle = std::uint64_t;
inline constexpr WorkerHandle kNoWorker = 0;

// What a worker does: `run` on the worker thread, the reports on the
// user-interface thread.
struct WorkerTask {
  std::function<void()> run;
  // After `run` returned or threw. Not for workers that end while Kill waits
  // for them, nor for abandoned ones, nor once the component is going away.
  std::function<void()> ended;
  // `run` threw (the error's text), or waiting for the worker failed
  // (kWaitFailed, and no `ended` follows).
  std::function<void(const std::string& message)> failed;
};

class WinThread {
 public:
  explicit WinThread(UiDispatcher& dispatcher);
  // Marks the component as going away (no more end reports), then waits
  // for every worker still in the list to end.
  ~WinThread();
  WinThread(const WinThread&) = delete;
  WinThread& operator=(const WinThread&) = delete;

  // Starts a worker running task.run and its watcher; kNoWorker when the
  // task has nothing to run. The worker runs only after its watcher has
  // started. Throws WinThreadError.
  WorkerHandle Spawn(WorkerTask task);

  // User-interface thread. Waits up to 1000 ms for the workers to end by
  // themselves, then abandons those still running. True when the worker list
  // is empty afterwards (always, since abandoning cannot fail).
  bool Kill();

  [[nodiscard]] int WorkerCount() const;
  [[nodiscard]] bool HasAbandonedWorkers() const;

 private:
  struct State;
  struct Record;
  void RunWorker(const std::shared_ptr<Record>& record);
  void RunWatcher(const std::shared_ptr<Record>& record);
  // Waits until every worker in the list has ended (true) or the time is up.
  bool WaitForAll(std::chrono::milliseconds limit);

  UiDispatcher& dispatcher_;
  // Shared with the threads, so that abandoned ones never touch freed memory.
  std::shared_ptr<State> state_;
};

}  // namespace kestrel::app
