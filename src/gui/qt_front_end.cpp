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

QtFrontEnd::QtFrontEnd(const FrontEndWidgets& widgets, QObject* parent)
    : QObject(parent), widgets_(widgets), ui_thread_(QThread::currentThread()) {}

QtFrontEnd::~QtFrontEnd() {
  Detach();
}

bool QtFrontEnd::OnUserInterfaceThread() const {
  return QThread::currentThread() == ui_thread_;
}

void QtFrontEnd::Carry(std::function<void()> action) {
  if (OnUserInterfaceThread()) {
    // Writes that workers handed over earlier come first.
    ProcessPendingWrites();
    std::unique_lock lock(mutex_);
    if (detached_) return;
    lock.unlock();
    action();
    return;
  }
  PendingWrite write{std::move(action)};
  std::unique_lock lock(mutex_);
  if (detached_) return;
  pending_.push_back(&write);
  // One wake-up per write; a drain that finds the queue empty costs nothing.
  QMetaObject::invokeMethod(
      this, [this] { ProcessPendingWrites(); }, Qt::QueuedConnection);
  written_.wait(lock, [&] { return write.done || detached_; });
  // Detach() empties the queue, so `write` is no longer referenced either way.
}

void QtFrontEnd::ProcessPendingWrites() {
  if (!OnUserInterfaceThread()) return;
  std::unique_lock lock(mutex_);
  while (!pending_.empty() && !detached_) {
    PendingWrite* write = pending_.front();
    pending_.pop_front();
    lock.unlock();
    write->action();
    lock.lock();
    write->done = true;
    written_.notify_all();
  }
}

void QtFrontEnd::Detach() {
  std::lock_guard guard(mutex_);
  detached_ = true;
  pending_.clear();
  written_.notify_all();
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
