// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/worker.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace kestrel::app {
namespace {

// How long Kill lets workers end by themselves before abandoning them.
constexpr std::chrono::milliseconds kKillGrace{1000};
// Step of the waits that also carry out the user-interface thread's work.
constexpr std::chrono::milliseconds kPumpStep{10};

std::string ErrorText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

}  // namespace

struct WinThread::Record {
  WorkerHandle id = kNoWorker;
  WorkerTask task;
  std::thread worker;
  std::thread watcher;
  // Start and release handshake; guarded by `mutex`.
  std::mutex mutex;
  std::condition_variable changed;
  bool worker_started = false;
  bool watcher_started = false;
  bool released = false;
  bool cancelled = false;  // Spawn failed after the worker started: run nothing
  std::atomic<bool> ended{false};
  std::atomic<bool> watcher_done{false};
  std::atomic<bool> abandoned{false};
};

struct WinThread::State {
  std::mutex lock;
  std::vector<std::shared_ptr<Record>> workers;
  std::vector<std::shared_ptr<Record>> watched;  // every record whose watcher started
  std::mutex end_mutex;
  std::condition_variable worker_ended;
  std::atomic<bool> destroying{false};
  std::atomic<bool> killing{false};
  std::atomic<bool> abandoned_any{false};
  WorkerHandle next_id = 1;
};

WinThread::WinThread(UiDispatcher& dispatcher)
    : dispatcher_(dispatcher), state_(std::make_shared<State>()) {}

WinThread::~WinThread() {
  state_->destroying = true;
  // Served while waiting: a worker may be handing over a report begun before.
  while (!WaitForAll(kPumpStep)) dispatcher_.ProcessPending();
  std::vector<std::shared_ptr<Record>> watched;
  {
    std::lock_guard guard(state_->lock);
    watched = state_->watched;
  }
  for (auto it = watched.rbegin(); it != watched.rend(); ++it) {
    Record& record = **it;
    if (record.abandoned) {
      // Its worker may run on; the watcher holds its own references.
      if (record.watcher.joinable()) record.watcher.detach();
      continue;
    }
    // A watcher may still be handing over an exception report; keep serving it.
    while (!record.watcher_done) {
      dispatcher_.ProcessPending();
      std::this_thread::sleep_for(kPumpStep);
    }
    if (record.watcher.joinable()) record.watcher.join();
  }
}

int WinThread::WorkerCount() const {
  std::lock_guard guard(state_->lock);
  return static_cast<int>(state_->workers.size());
}

bool WinThread::HasAbandonedWorkers() const {
  return state_->abandoned_any;
}

void WinThread::RunWorker(const std::shared_ptr<Record>& record) {
  std::shared_ptr<State> state = state_;  // outlives the component if abandoned
  {
    std::unique_lock lock(record->mutex);
    record->worker_started = true;
    record->changed.notify_all();
    // A release that came before this wait is not lost: `released` stays set.
    record->changed.wait(lock, [&] { return record->released || record->cancelled; });
  }
  bool cancelled = false;
  {
    std::lock_guard lock(record->mutex);
    cancelled = record->cancelled;
  }
  if (cancelled) {
    std::lock_guard guard(state->end_mutex);
    record->ended = true;
    state->worker_ended.notify_all();
    return;
  }
  std::exception_ptr error;
  try {
    record->task.run();
  } catch (...) {
    error = std::current_exception();
  }
  // The record outlives its worker: what the task held (a job's configuration
  // and list) goes now.
  record->task.run = nullptr;
  if (error && !record->abandoned && !state->destroying && record->task.failed) {
    const std::string message = ErrorText(error);
    try {
      dispatcher_.Send([&] { record->task.failed(message); });
    } catch (...) {
      // The report is what failed; the worker still ends normally.
    }
  }
  std::lock_guard guard(state->end_mutex);
  record->ended = true;
  state->worker_ended.notify_all();
}

void WinThread::RunWatcher(const std::shared_ptr<Record>& record) {
  {
    std::lock_guard lock(record->mutex);
    record->watcher_started = true;
    record->changed.notify_all();
  }
  std::shared_ptr<State> state = state_;  // outlives the component if abandoned
  bool joined = true;
  try {
    record->worker.join();
  } catch (const std::system_error&) {
    joined = false;
  }
  // A watcher exists only for a worker that Spawn released: never cancelled.
  if (!record->abandoned && !state->destroying) {
    const WorkerTask& task = record->task;
    if (!joined && task.failed) {
      try {
        dispatcher_.Send([&] { task.failed(kWaitFailed); });
      } catch (...) {
      }
    } else if (joined && task.ended && !state->killing) {
      try {
        dispatcher_.Send([&] { task.ended(); });
      } catch (...) {
        // An error of the end handler must not keep the worker in the list.
      }
    }
  }
  {
    std::lock_guard guard(state->lock);
    auto& workers = state->workers;
    workers.erase(std::remove(workers.begin(), workers.end(), record), workers.end());
  }
  {
    std::lock_guard guard(state->end_mutex);
    state->worker_ended.notify_all();
  }
  record->watcher_done = true;
}

WorkerHandle WinThread::Spawn(WorkerTask task) {
  if (!task.run) return kNoWorker;
  std::unique_lock guard(state_->lock, std::defer_lock);
  try {
    guard.lock();
  } catch (const std::system_error&) {
    throw WinThreadError(kLockFailed);
  }

  auto record = std::make_shared<Record>();
  record->id = state_->next_id++;
  record->task = std::move(task);
  state_->workers.push_back(record);

  auto wait_for = [&](bool Record::*flag) {
    std::unique_lock lock(record->mutex);
    record->changed.wait(lock, [&] { return (*record).*flag; });
  };
  auto cancel = [&] {
    {
      std::lock_guard lock(record->mutex);
      record->cancelled = true;
      record->changed.notify_all();
    }
    auto& workers = state_->workers;
    workers.erase(std::remove(workers.begin(), workers.end(), record), workers.end());
  };

  try {
    record->worker = std::thread([this, record] { RunWorker(record); });
  } catch (const std::system_error&) {
    cancel();
    throw WinThreadError(kCreateFailed);
  }
  wait_for(&Record::worker_started);
  try {
    record->watcher = std::thread([this, record] { RunWatcher(record); });
  } catch (const std::system_error&) {
    cancel();
    record->worker.join();
    throw WinThreadError(kCreateWatcherFailed);
  }
  // Records whose watcher is over go, so that a long polling session does not
  // keep one for every task it ran.
  auto& watched = state_->watched;
  watched.erase(std::remove_if(watched.begin(), watched.end(),
                               [](const std::shared_ptr<Record>& done) {
                                 if (!done->watcher_done || done->abandoned) return false;
                                 if (done->watcher.joinable()) done->watcher.join();
                                 return true;
                               }),
                watched.end());
  watched.push_back(record);
  wait_for(&Record::watcher_started);
  {
    std::lock_guard lock(record->mutex);
    record->released = true;
    record->changed.notify_all();
  }
  return record->id;
}

bool WinThread::Kill() {
  state_->killing = true;
  const auto deadline = std::chrono::steady_clock::now() + kKillGrace;
  while (WorkerCount() > 0 && std::chrono::steady_clock::now() < deadline) {
    dispatcher_.ProcessPending();
    std::this_thread::sleep_for(kPumpStep);
  }
  {
    std::lock_guard guard(state_->lock);
    for (auto& record : state_->workers) {
      record->abandoned = true;
      state_->abandoned_any = true;
    }
    state_->workers.clear();
  }
  state_->killing = false;
  return true;
}

bool WinThread::WaitForAll(std::chrono::milliseconds limit) {
  std::vector<std::shared_ptr<Record>> workers;
  {
    std::lock_guard guard(state_->lock);
    workers = state_->workers;
  }
  auto all_ended = [&] {
    return std::all_of(workers.begin(), workers.end(),
                       [](const auto& r) { return r->ended.load(); });
  };
  std::unique_lock lock(state_->end_mutex);
  return state_->worker_ended.wait_for(lock, limit, all_ended);
}

}  // namespace kestrel::app
