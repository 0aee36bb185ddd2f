// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/ui_dispatcher.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace kestrel::app {

struct UiDispatcher::Item {
  std::function<void()> work;
  bool waited_for = false;
  bool write = false;
  bool done = false;
  std::exception_ptr error;
  std::mutex mutex;
  std::condition_variable finished;
};

UiDispatcher::UiDispatcher() : ui_thread_(std::this_thread::get_id()) {}

void UiDispatcher::BindToCurrentThread() {
  std::lock_guard guard(mutex_);
  ui_thread_ = std::this_thread::get_id();
}

bool UiDispatcher::OnUserInterfaceThread() const {
  std::lock_guard guard(mutex_);
  return ui_thread_ == std::this_thread::get_id();
}

void UiDispatcher::SetWakeHook(std::function<void()> hook) {
  std::lock_guard guard(mutex_);
  wake_hook_ = std::move(hook);
}

void UiDispatcher::Enqueue(std::shared_ptr<Item> item) {
  std::function<void()> hook;
  {
    std::lock_guard guard(mutex_);
    items_.push_back(std::move(item));
    hook = wake_hook_;
  }
  queued_.notify_all();
  if (hook) hook();
}

void UiDispatcher::Send(std::function<void()> work) {
  if (OnUserInterfaceThread()) {
    work();
    return;
  }
  auto item = std::make_shared<Item>();
  item->work = std::move(work);
  SendAndWait(std::move(item));
}

void UiDispatcher::SendWrite(std::function<void()> work) {
  if (OnUserInterfaceThread()) {
    ProcessPendingWrites();
    work();
    return;
  }
  auto item = std::make_shared<Item>();
  item->work = std::move(work);
  item->write = true;
  SendAndWait(std::move(item));
}

void UiDispatcher::SendAndWait(std::shared_ptr<Item> item) {
  item->waited_for = true;
  Enqueue(item);
  std::unique_lock lock(item->mutex);
  item->finished.wait(lock, [&] { return item->done; });
  if (item->error) std::rethrow_exception(item->error);
}

void UiDispatcher::Post(std::function<void()> work) {
  auto item = std::make_shared<Item>();
  item->work = std::move(work);
  Enqueue(std::move(item));
}

int UiDispatcher::ProcessPending() {
  if (!OnUserInterfaceThread()) return 0;
  // Take only what is queued now, so work that queues more cannot keep us here.
  Batch batch;
  {
    std::lock_guard guard(mutex_);
    batch.swap(items_);
  }
  Run(batch);
  return static_cast<int>(batch.size());
}

int UiDispatcher::ProcessPendingWrites() {
  if (!OnUserInterfaceThread()) return 0;
  Batch writes;
  {
    std::lock_guard guard(mutex_);
    const auto others = std::stable_partition(items_.begin(), items_.end(),
                                              [](const auto& item) { return item->write; });
    writes.assign(items_.begin(), others);
    items_.erase(items_.begin(), others);
  }
  Run(writes);
  return static_cast<int>(writes.size());
}

void UiDispatcher::Run(Batch& batch) {
  for (auto& item : batch) {
    std::exception_ptr error;
    try {
      item->work();
    } catch (...) {
      // A posted item has nobody to hand its error to; it is dropped.
      if (item->waited_for) error = std::current_exception();
    }
    std::lock_guard lock(item->mutex);
    item->error = error;
    item->done = true;
    item->finished.notify_all();
  }
}

bool UiDispatcher::WaitForWork(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return queued_.wait_for(lock, limit, [&] { return !items_.empty(); });
}

}  // namespace kestrel::app
