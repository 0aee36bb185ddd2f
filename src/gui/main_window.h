// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The main window: a column of command buttons on the left, the incoming strip
// and pane in the upper half, the outgoing strip and pane in the lower half.
// It shows what the core writes through its front end and hands the button
// presses to whoever runs the commands.

#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <string>

#include "app/status_report.h"
#include "app/ui_dispatcher.h"
#include "core/front_end.h"
#include "core/side.h"
#include "gui/editor_launcher.h"
#include "gui/qt_front_end.h"
#include "gui/window_layout.h"
#include "gui/window_position.h"

class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace kestrel::gui {

class StatusView;

void OpenInBrowser(const std::string& address);

class TKestrel : public QWidget {
  Q_OBJECT

 public:
  inline static const char* const kCaption = "Kestrel 2.00 WinSock/95";

  explicit TKestrel(QWidget* parent = nullptr);
  ~TKestrel() override;

  // The core's view of the window; writes from any thread.
  [[nodiscard]] core::FrontEnd& front_end() { return *front_end_; }
  // The way to the window's thread, served by its event loop; the controller
  // that drives the window uses it too.
  [[nodiscard]] app::UiDispatcher& dispatcher() { return dispatcher_; }

  // From now on the core's writes go nowhere; for the end of the program, when
  // the user-interface thread no longer serves them.
  void DetachFrontEnd() { front_end_->Detach(); }

  // Who runs the commands of the buttons other than the four editor buttons.
  void SetCommandHandler(std::function<void(ButtonCommand)> handler);
  // What closing through the title bar or the system menu does besides closing.
  void SetTitleBarCloseHandler(std::function<void()> handler);
  // Replaces the editor start (tests record the files instead).
  void SetEditorOpener(EditorOpener opener);
  // Opens a login's address in the browser; tests record the addresses.
  using AddressOpener = std::function<void(const std::string& address)>;
  void SetAddressOpener(AddressOpener opener) { address_opener_ = std::move(opener); }
  [[nodiscard]] const AddressOpener& address_opener() const { return address_opener_; }

  // What the status view shows, made anew at each refresh.
  using StatusSource = std::function<app::StatusReport()>;
  void SetStatusSource(StatusSource source) { status_source_ = std::move(source); }
  // Opens the status view, built anew; without a source it stays closed.
  void OpenStatus();
  // Builds the status view anew when it is open (after a run).
  void RefreshStatus();

  // Runs a button's command as a click would.
  void RunCommand(ButtonCommand command);

  // Empties every progress field of a side except its countdown.
  void CleanText(core::Side side);

  // Restores the position and size from the position file and fits them to
  // the screen; keeps the built-in ones when the file cannot be read.
  void LoadDef();
  void LoadDef(const std::string& path, QSize screen);
  // Writes the position file; failures are ignored.
  void SaveDef();
  void SaveDef(const std::string& path, QSize screen) const;

  // Closes the window as a command does (Exit, automatic shutdown), without the
  // title-bar close handler.
  void CloseByCommand();

  // The editor commands.
  void EditINIClick();
  void EditTxtClick();
  void FilterButtonClick();
  void LogfileButtonClick();

  // The outer rectangle as the position file holds it.
  [[nodiscard]] WindowRect OuterRect() const;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildButtonPanel();
  void AddLoginMenu(QPushButton* setup);
  void AddStatusMenu(QPushButton* check);
  void ShareMnemonics();
  QFrame* BuildStrip(const char* name, bool incoming);
  QPlainTextEdit* BuildPane(const char* name);
  void ApplyOuterRect(const WindowRect& rect);
  void ApplyLayout(QSize client);
  void OpenHomeFile(const std::string& name);

  QWidget* button_panel_ = nullptr;
  std::array<QPushButton*, kButtons.size()> buttons_{};
  QLabel* fido_image_ = nullptr;
  QFrame* incoming_panel_ = nullptr;
  QFrame* outgoing_panel_ = nullptr;
  QPlainTextEdit* get_activity_ = nullptr;
  QPlainTextEdit* send_activity_ = nullptr;
  QRadioButton* get_waiting_ = nullptr;
  QRadioButton* send_waiting_ = nullptr;
  std::array<QLineEdit*, core::kFieldCount> fields_{};
  app::UiDispatcher dispatcher_;  // before the front end, which uses it
  std::unique_ptr<QtFrontEnd> front_end_;

  std::function<void(ButtonCommand)> command_handler_;
  std::function<void()> title_bar_close_handler_;
  EditorOpener editor_opener_ = OpenInEditor;
  AddressOpener address_opener_ = OpenInBrowser;
  StatusSource status_source_;
  StatusView* status_view_ = nullptr;
  bool closing_by_command_ = false;
};

}  // namespace kestrel::gui
