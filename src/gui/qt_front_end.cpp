// SPDX-License-Identifier: GPL-2.0-or-later
#include "gui/qt_front_end.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStringDecoder>

namespace kestrel::gui {

namespace {

// Lines come from mail and FidoNet data: UTF-8 when they are valid UTF-8,
// otherwise each byte is shown as the Latin-1 character of its value.
QString ToQString(std::string_view text) {
  const QByteArrayView bytes(text.data(), static_cast<qsizetype>(text.size()));
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString decoded = decoder.decode(bytes);
  if (decoder.hasError()) return QString::fromLatin1(bytes);
  return decoded;
}

}  // namespace

QtFrontEnd::QtFrontEnd(const FrontEndWidgets& widgets, app::UiDispatcher& dispatcher)
    : widgets_(widgets), dispatcher_(dispatcher) {}

QtFrontEnd::~QtFrontEnd() {
  Detach();
}

bool QtFrontEnd::OnUserInterfaceThread() const {
  return dispatcher_.OnUserInterfaceThread();
}

void QtFrontEnd::Carry(std::function<void()> action) {
  if (detached_) return;
  // Looked at again when it runs: a write handed over before Detach is dropped.
  dispatcher_.SendWrite([this, action = std::move(action)] {
    if (!detached_) action();
  });
}

void QtFrontEnd::ProcessPendingWrites() {
  dispatcher_.ProcessPendingWrites();
}

void QtFrontEnd::Detach() {
  detached_ = true;
  // Writers waiting now are released; their writes are dropped.
  dispatcher_.ProcessPendingWrites();
}

void QtFrontEnd::AppendPaneLine(core::Side side, std::string_view line) {
  QPlainTextEdit* pane =
      side == core::Side::Sending ? widgets_.send_activity : widgets_.get_activity;
  Carry([pane, text = ToQString(line)] { pane->appendPlainText(text); });
}

void QtFrontEnd::ClearPane(core::Side side) {
  QPlainTextEdit* pane =
      side == core::Side::Sending ? widgets_.send_activity : widgets_.get_activity;
  Carry([pane] { pane->clear(); });
}

void QtFrontEnd::SetField(core::Field field, std::string_view text) {
  QLineEdit* edit = widgets_.fields[static_cast<int>(field)];
  Carry([edit, value = ToQString(text)] {
    edit->setText(value);
    edit->setCursorPosition(0);  // show the start of a long value
  });
}

void QtFrontEnd::SetWaitingIndicator(core::Side side, bool waiting) {
  QAbstractButton* indicator =
      side == core::Side::Sending ? widgets_.send_waiting : widgets_.get_waiting;
  Carry([indicator, waiting] { indicator->setChecked(waiting); });
}

}  // namespace kestrel::gui
