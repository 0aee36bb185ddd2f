// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The window's side of the core's front-end interface. Any thread may write; the
// write itself always runs on the user-interface thread, handed over through
// the window's dispatcher, and a worker waits until it is done, so the order of
// one thread's writes is kept and a line is on screen before the worker logs
// the next. The user-interface thread carries out the handed-over writes from
// its event loop and from ProcessPendingWrites, which it calls while it waits
// for the log lock that a waiting worker holds.

#include <atomic>
#include <functional>

#include "app/ui_dispatcher.h"
#include "core/front_end.h"

class QLineEdit;
class QPlainTextEdit;
class QAbstractButton;

namespace kestrel::gui {

// The widgets the writes land on; all owned by the window.
struct FrontEndWidgets {
  QPlainTextEdit* send_activity = nullptr;
  QPlainTextEdit* get_activity = nullptr;
  QLineEdit* fields[core::kFieldCount] = {};
  QAbstractButton* send_waiting = nullptr;
  QAbstractButton* get_waiting = nullptr;
};

class QtFrontEnd : public core::FrontEnd {
 public:
  // `dispatcher` belongs to the user-interface thread and outlives the front end.
  QtFrontEnd(const FrontEndWidgets& widgets, app::UiDispatcher& dispatcher);
  ~QtFrontEnd() override;

  void AppendPaneLine(core::Side side, std::string_view line) override;
  void ClearPane(core::Side side) override;
  void SetField(core::Field field, std::string_view text) override;
  void SetWaitingIndicator(core::Side side, bool waiting) override;
  [[nodiscard]] bool OnUserInterfaceThread() const override;
  void ProcessPendingWrites() override;

  // From now on writes are dropped and the writers waiting are released; for
  // the window's teardown, when nothing may touch its widgets any more. On the
  // user-interface thread.
  void Detach();

 private:
  // Runs the write on the user-interface thread and returns once it is done;
  // nothing once detached.
  void Carry(std::function<void()> action);

  FrontEndWidgets widgets_;
  app::UiDispatcher& dispatcher_;
  std::atomic<bool> detached_{false};
};

}  // namespace kestrel::gui
