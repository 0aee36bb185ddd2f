// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Runs work on the user-interface thread on behalf of other threads: the one
// way there, for the workers' reports and the window's writes alike. The front
// end drives it: the console's loop calls WaitForWork and ProcessPending, the
// window's event loop calls ProcessPending whenever the wake hook fires.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace kestrel::app {

class UiDispatcher {
 public:
  // The constructing thread is the user-interface thread.
  UiDispatcher();
  UiDispatcher(const UiDispatcher&) = delete;
  UiDispatcher& operator=(const UiDispatcher&) = delete;

  // Makes the calling thread the user-interface thread (for a window front end
  // whose event loop runs elsewhere than where the dispatcher was made).
  void BindToCurrentThread();
  [[nodiscard]] bool OnUserInterfaceThread() const;

  // Runs `work` on the user-interface thread and returns once it has returned;
  // runs it at once when called there. An exception thrown by `work` reaches
  // the caller.
  void Send(std::function<void()> work);
  // As Send, for a front end's write: earlier writes go first, and
  // ProcessPendingWrites carries writes out alone.
  void SendWrite(std::function<void()> work);
  // Queues `work` for the user-interface thread and returns at once.
  void Post(std::function<void()> work);

  // Runs everything queued so far; user-interface thread only. Returns how many
  // items ran.
  int ProcessPending();
  // Runs the writes queued so far and nothing else; user-interface thread
  // only. For its waits for a lock that a worker holds while its write waits,
  // where other work must not run in between.
  int ProcessPendingWrites();
  // Sleeps until work is queued or the time is up; true when work is waiting.
  bool WaitForWork(std::chrono::milliseconds limit);

  // Called from any thread whenever work is queued, so that a window event loop
  // can schedule ProcessPending.
  void SetWakeHook(std::function<void()> hook);

 private:
  struct Item;
  using Batch = std::deque<std::shared_ptr<Item>>;
  void Enqueue(std::shared_ptr<Item> item);
  void SendAndWait(std::shared_ptr<Item> item);
  static void Run(Batch& batch);

  std::thread::id ui_thread_;
  mutable std::mutex mutex_;
  std::condition_variable queued_;
  Batch items_;
  std::function<void()> wake_hook_;
};

}  // namespace kestrel::app
