// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/ui_dispatcher.h"

#include <exception>
#include <utility>

namespace kestrel::app {

struct UiDispatcher::Item {
  std::function<void()> work;
  bool waited_for = false;
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
  std::deque<std::shared_ptr<Item>> batch;
  {
    std::lock_guard guard(mutex_);
    batch.swap(items_);
  }
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
  return static_cast<int>(batch.size());
}

bool UiDispatcher::WaitForWork(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return queued_.wait_for(lock, limit, [&] { return !items_.empty(); });
}

}  // namespace kestrel::app
