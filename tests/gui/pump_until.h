// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Keeps Qt's event loop turning until a condition holds or a bound passes,
// for the window's tests (beside them, since the test support is free of Qt).

#include <QApplication>
#include <chrono>

namespace kestrel::gui {

// True when `done` came true within `limit`.
template <typename Done>
bool PumpUntil(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

}  // namespace kestrel::gui
