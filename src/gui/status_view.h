// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The window's status view: for each redirected link the columns
// "kestrel --status" prints, and the receiving side's lines below them,
// from the same report and the same words.

#include <QDialog>
#include <functional>

#include "app/status_report.h"

class QPlainTextEdit;
class QTableWidget;

namespace kestrel::gui {

class StatusView : public QDialog {
  Q_OBJECT

 public:
  // `refresh` is what the Refresh button asks for.
  StatusView(std::function<void()> refresh, QWidget* parent);

  void Show(const app::StatusReport& report);

 private:
  QTableWidget* links_ = nullptr;
  QPlainTextEdit* receiving_ = nullptr;
};

}  // namespace kestrel::gui
