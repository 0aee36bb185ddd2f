// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/jobs.h"

namespace kestrel::app {

void JobContext::SetAbortHandler(std::function<void()> handler) {
  std::lock_guard guard(mutex_);
  abort_handler_ = std::move(handler);
  if (abort_requested_ && abort_handler_) abort_handler_();
}

void JobContext::ClearAbortHandler() {
  std::lock_guard guard(mutex_);
  abort_handler_ = nullptr;
}

void JobContext::Abort() {
  std::lock_guard guard(mutex_);
  abort_requested_ = true;
  if (abort_handler_) abort_handler_();
}

bool JobContext::AbortRequested() {
  std::lock_guard guard(mutex_);
  return abort_requested_;
}

}  // namespace kestrel::app
