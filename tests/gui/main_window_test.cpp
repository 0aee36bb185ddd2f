// SPDX-License-Identifier: GPL-2.0-or-later
#include "gui/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <initializer_list>
#include <iterator>

#include "platform/program_home.h"
#include "support/temp_dir.h"

namespace kestrel::gui {
namespace {

template <typename T>
T* Find(const TKestrel& window, const char* name) {
  T* widget = window.findChild<T*>(name);
  EXPECT_NE(widget, nullptr) << name;
  return widget;
}

bool InTabChain(const QWidget* widget) {
  return (widget->focusPolicy() & Qt::TabFocus) != 0;
}

TEST(MainWindowTest, WindowAtBuiltInSize) {
  TKestrel window;
  EXPECT_EQ(window.windowTitle(), "Kestrel 2.00 WinSock/95");
  EXPECT_EQ(window.OuterRect(), (WindowRect{126, 276, 624, 459}));
  EXPECT_EQ(window.size(), QSize(616, 420));
  EXPECT_EQ(window.minimumSize(), QSize(616, 420));
  EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(window.windowFlags() & Qt::WindowSystemMenuHint);
  EXPECT_EQ(window.font().pixelSize(), 13);
}

TEST(MainWindowTest, ButtonsWithCaptionsHintsGeometryAndTabOrder) {
  TKestrel window;
  auto* panel = Find<QWidget>(window, "ButtonPanel");
  ASSERT_TRUE(panel);
  EXPECT_EQ(panel->geometry(), QRect(0, 0, 63, 420));

  const struct {
    const char* name;
    int top, height;
    const char* caption;
    const char* hint;
  } expected[] = {
      {"RunButton", 7, 24, "&Run", "Dial/Get/Send Now"},
      {"GetButton", 33, 24, "&Get it", "Check and get new messages"},
      {"StopGetButton", 57, 20, "- S&top", "Stop the get messages process"},
      {"SendButton", 79, 24, "&Send it", "Check and send files"},
      {"StopSendButton", 104, 19, "- St&op", "Stop the send process"},
      {"CheckButton", 125, 20, "&Check", "Display the files waiting to be send"},
      {"ConnectButton", 147, 20, "C&onnect", "Dial and connect"},
      {"HangupButton", 167, 20, "&Hangup", "Hangup current connection or ALL connection"},
      {"SetupButton", 240, 24, "&Setup", "Edit configuration (KESTREL.INI)"},
      {"HeaderButton", 264, 24, "Hea&der", "Edit header file (HEADER.TXT)"},
      {"FiltersButton", 288, 24, "&Filters", "Edit filters (KESTREL.FLT)"},
      {"LogFilesButton", 312, 24, "&Logfiles", "View/edit logfiles (SEND.LOG / RECEIVE.LOG)"},
      {"ExitButton", 391, 24, "E&xit", nullptr},
  };
  QPushButton* previous = nullptr;
  for (const auto& e : expected) {
    auto* button = Find<QPushButton>(window, e.name);
    ASSERT_TRUE(button);
    EXPECT_EQ(button->parentWidget(), panel) << e.name;
    EXPECT_EQ(button->geometry(), QRect(4, e.top, 55, e.height)) << e.name;
    EXPECT_EQ(button->text(), e.caption) << e.name;
    if (e.hint) {
      EXPECT_EQ(button->toolTip(), e.hint) << e.name;
    }
    EXPECT_TRUE(InTabChain(button)) << e.name;
    const bool editor = e.top >= 240 && e.top < 391;
    EXPECT_EQ(button->font().pixelSize(), editor ? 12 : 13) << e.name;
    if (previous) {
      EXPECT_EQ(previous->nextInFocusChain(), button) << e.name;
    }
    previous = button;
  }
  const QString exit_hint = Find<QPushButton>(window, "ExitButton")->toolTip();
  EXPECT_FALSE(exit_hint.isEmpty());
  EXPECT_EQ(exit_hint, exit_hint.toUpper());

  auto* image = Find<QLabel>(window, "FidoImage");
  ASSERT_TRUE(image);
  EXPECT_EQ(image->geometry(), QRect(8, 189, 47, 49));
  EXPECT_FALSE(image->pixmap().isNull());
}

// Presses Alt with each key in turn, on a shown and active window.
void PressLetters(TKestrel& window, std::initializer_list<Qt::Key> keys) {
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  for (const Qt::Key key : keys) {
    QTest::keyClick(&window, key, Qt::AltModifier);
    QTest::qWait(200);  // a button pressed by its letter goes down, then clicks
  }
}

TEST(MainWindowTest, EveryUnderlinedLetterPressesItsButtons) {
  TKestrel window;
  std::vector<ButtonCommand> pressed;
  window.SetCommandHandler([&](ButtonCommand command) { pressed.push_back(command); });
  int editors_opened = 0;
  window.SetEditorOpener([&](const std::string&) { return ++editors_opened > 0; });
  // A shared letter presses the first of its buttons in tab order, every time.
  PressLetters(window, {Qt::Key_R, Qt::Key_S, Qt::Key_S, Qt::Key_O, Qt::Key_O, Qt::Key_T});
  EXPECT_EQ(pressed, (std::vector<ButtonCommand>{ButtonCommand::Run, ButtonCommand::Send,
                                                 ButtonCommand::Send, ButtonCommand::StopSend,
                                                 ButtonCommand::StopSend, ButtonCommand::StopGet}));
  EXPECT_EQ(editors_opened, 0);
  EXPECT_EQ(Find<QPushButton>(window, "SetupButton")->text(), "&Setup");
}

TEST(MainWindowTest, SharedLetterPressesTheEnabledButton) {
  TKestrel window;
  std::vector<ButtonCommand> pressed;
  window.SetCommandHandler([&](ButtonCommand command) { pressed.push_back(command); });
  int editors_opened = 0;
  window.SetEditorOpener([&](const std::string&) { return ++editors_opened > 0; });
  Find<QPushButton>(window, "StopSendButton")->setEnabled(false);
  Find<QPushButton>(window, "SendButton")->setEnabled(false);
  PressLetters(window, {Qt::Key_O, Qt::Key_O, Qt::Key_S});
  EXPECT_EQ(pressed, (std::vector<ButtonCommand>{ButtonCommand::Connect, ButtonCommand::Connect}));
  EXPECT_EQ(editors_opened, 1);
  // Neither enabled: the letter does nothing.
  Find<QPushButton>(window, "ConnectButton")->setEnabled(false);
  PressLetters(window, {Qt::Key_O});
  EXPECT_EQ(pressed.size(), 2U);
}

TEST(MainWindowTest, StripsFieldsAndIndicators) {
  TKestrel window;
  auto* incoming = Find<QFrame>(window, "IncomingPanel");
  auto* outgoing = Find<QFrame>(window, "OutgoingPanel");
  ASSERT_TRUE(incoming && outgoing);
  EXPECT_EQ(incoming->geometry(), QRect(63, 0, 553, 51));
  EXPECT_EQ(outgoing->geometry(), QRect(63, 210, 553, 51));

  // The design's places and hints, written out here rather than read from the
  // window's own table.
  const struct {
    const char* name;
    bool incoming;
    QRect geometry;
    const char* hint;
  } fields[] = {
      {"GetCurrentMsg", true, {197, 2, 60, 22}, "What message are we processing"},
      {"GetTotalMessages", true, {257, 2, 71, 22}, "Total number of message to be checked"},
      {"GetTotalBytes", true, {329, 2, 94, 22}, "Total number of bytes in mailbox"},
      {"GetTimeout", true, {512, 2, 32, 22}, "Timeout in x seconds"},
      {"GetFilename", true, {197, 26, 132, 22}, "Name of file being decoded"},
      {"GetByteProgress", true, {329, 26, 94, 22}, "Bytes decoded"},
      {"GetCPS", true, {423, 26, 41, 22}, "CPS Characters per second of current file"},
      {"FilesSent", false, {197, 2, 46, 22}, "Current file number"},
      {"TotalFiles", false, {243, 2, 40, 22}, "Total files to send"},
      {"TotalPercent", false, {283, 2, 33, 22}, "Percentage of total bytes to send"},
      {"TotalProgress", false, {316, 2, 54, 22}, "Total bytes sent"},
      {"TotalFileSize", false, {370, 2, 54, 22}, "Total bytes to send"},
      {"TotalSecondsLeft", false, {424, 2, 31, 22}, "Seconds left of total transmission"},
      {"TotalCPS", false, {455, 2, 41, 22}, "CPS Characters per second of total transmission"},
      {"Timeout", false, {512, 2, 32, 22}, "Timeout in x seconds"},
      {"CurrentFilename", false, {197, 26, 86, 22}, "Name of file being send"},
      {"CurrentPercent", false, {283, 26, 33, 22}, "Percentage sent of file"},
      {"CurrentProgress", false, {316, 26, 54, 22}, "Bytes send of file"},
      {"CurrentFileSize", false, {370, 26, 54, 22}, "Size of current file being send"},
      {"SecondsLeftofFile", false, {424, 26, 31, 22}, "Seconds left of current file"},
      {"CurrentCPS", false, {455, 26, 41, 22}, "CPS Characters per second of current file"},
  };
  EXPECT_EQ(std::size(fields), static_cast<std::size_t>(core::kFieldCount));
  for (const auto& f : fields) {
    auto* field = Find<QLineEdit>(window, f.name);
    ASSERT_TRUE(field);
    EXPECT_EQ(field->parentWidget(), f.incoming ? incoming : outgoing) << f.name;
    EXPECT_EQ(field->geometry(), f.geometry) << f.name;
    EXPECT_TRUE(field->isReadOnly()) << f.name;
    EXPECT_FALSE(InTabChain(field)) << f.name;
    EXPECT_EQ(field->toolTip(), f.hint) << f.name;
    EXPECT_EQ(field->font().pixelSize(), 10) << f.name;
    EXPECT_EQ(field->palette().color(QPalette::Text), QColor(0, 0, 128)) << f.name;
  }

  for (const char* name : {"GetWaitingNetwork", "WaitingNetwork"}) {
    auto* indicator = Find<QRadioButton>(window, name);
    ASSERT_TRUE(indicator);
    EXPECT_EQ(indicator->geometry(), QRect(521, 30, 17, 17)) << name;
    EXPECT_EQ(indicator->toolTip(), "Waiting for network");
    EXPECT_FALSE(InTabChain(indicator));
    indicator->click();  // only the program switches it
    EXPECT_FALSE(indicator->isChecked()) << name;
  }
  EXPECT_EQ(Find<QRadioButton>(window, "GetWaitingNetwork")->parentWidget(), incoming);

  const struct {
    const char* name;
    QWidget* strip;
    int left;
    const char* text;
  } labels[] = {
      {"GetProgressLabel", incoming, 100, "Progress"},
      {"GetDecodeLabel", incoming, 100, "Decoding"},
      {"TotalFilesLabel", outgoing, 100, "Total files"},
      {"CurrentFileLabel", outgoing, 100, "Current file"},
      {"IncomingLabel", incoming, 8, "Incoming:"},
      {"OutgoingLabel", outgoing, 8, "Outgoing:"},
  };
  for (const auto& l : labels) {
    auto* label = Find<QLabel>(window, l.name);
    ASSERT_TRUE(label);
    EXPECT_EQ(label->parentWidget(), l.strip) << l.name;
    EXPECT_EQ(label->x(), l.left) << l.name;
    EXPECT_EQ(label->text(), l.text) << l.name;
  }
}

TEST(MainWindowTest, ActivityPanes) {
  TKestrel window;
  const struct {
    const char* name;
    QRect geometry;
  } panes[] = {{"GetActivity", QRect(63, 51, 553, 159)},
               {"SendActivity", QRect(63, 261, 553, 159)}};
  for (const auto& p : panes) {
    auto* pane = Find<QPlainTextEdit>(window, p.name);
    ASSERT_TRUE(pane);
    EXPECT_EQ(pane->geometry(), p.geometry) << p.name;
    EXPECT_EQ(pane->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(pane->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_FALSE(InTabChain(pane));
    EXPECT_EQ(pane->palette().color(QPalette::Base), QColor(0, 0, 128));
    EXPECT_EQ(pane->palette().color(QPalette::Text), QColor(Qt::white));
    EXPECT_EQ(pane->font().pixelSize(), 13);
  }
}

struct Positions {
  QRect incoming_panel, get_activity, outgoing_panel, send_activity, button_panel;
};

Positions Read(const TKestrel& window) {
  return {window.findChild<QWidget*>("IncomingPanel")->geometry(),
          window.findChild<QWidget*>("GetActivity")->geometry(),
          window.findChild<QWidget*>("OutgoingPanel")->geometry(),
          window.findChild<QWidget*>("SendActivity")->geometry(),
          window.findChild<QWidget*>("ButtonPanel")->geometry()};
}

TEST(MainWindowTest, ResizeSplitsTheClientAreaAndSnapsBackToTheMinimum) {
  struct Case {
    QSize requested;
    QSize client;
    int half;
  };
  const Case cases[] = {
      {{616, 420}, {616, 420}, 210},  // the built-in size
      {{800, 421}, {800, 421}, 210},  // odd heights round down
      {{900, 600}, {900, 600}, 300},
      {{500, 300}, {616, 420}, 210},  // too small: back to the minimum
      {{1000, 100}, {1000, 420}, 210},
  };
  for (const auto& c : cases) {
    TKestrel window;
    window.show();
    window.resize(c.requested);
    QApplication::processEvents();
    EXPECT_EQ(window.size(), c.client) << c.requested.width() << "x" << c.requested.height();
    const Positions p = Read(window);
    const int width = c.client.width() - 63;
    EXPECT_EQ(p.incoming_panel, QRect(63, 0, width, 51));
    EXPECT_EQ(p.get_activity, QRect(63, 51, width, c.half - 51));
    EXPECT_EQ(p.outgoing_panel, QRect(63, c.half, width, 51));
    EXPECT_EQ(p.send_activity, QRect(63, c.half + 51, width, c.half - 51));
    EXPECT_EQ(p.button_panel, QRect(0, 0, 63, c.client.height()));
  }
}

TEST(MainWindowTest, PositionFileRoundTripAndScreenFitting) {
  testing::TempDir dir;
  const std::string path = dir.File("KESTREL.POS");
  {
    TKestrel window;
    window.LoadDef(path, {1024, 768});  // no file: built-in place
    EXPECT_EQ(window.OuterRect(), (WindowRect{126, 276, 624, 459}));
    window.move(150, 40);
    window.resize(700, 500);
    window.SaveDef(path, {1024, 768});
  }
  // top 40, left 150, width 708, height 539, screen 1024 x 768
  EXPECT_EQ(dir.Read("KESTREL.POS"),
            std::string("\x28\x00\x96\x00\xC4\x02\x1B\x02\x00\x04\x00\x03", 12));
  {
    TKestrel window;
    window.LoadDef(path, {1024, 768});
    EXPECT_EQ(window.OuterRect(), (WindowRect{40, 150, 708, 539}));
    EXPECT_EQ(window.size(), QSize(700, 500));
  }

  // Written on 1024 x 768 at left 900 (the window then reaches past the right
  // edge of an 800-pixel screen): opens at left 0 on 800 x 600.
  {
    TKestrel window;
    window.move(900, 40);
    window.SaveDef(path, {1024, 768});
  }
  TKestrel window;
  window.LoadDef(path, {800, 600});
  EXPECT_EQ(window.OuterRect(), (WindowRect{40, 0, 624, 459}));

  // A window larger than the screen is cut to it, then held at the minimum.
  ASSERT_TRUE(SavePositionFile(path, {{0, 0, 2000, 2000}, 2560, 1440}));
  window.LoadDef(path, {800, 600});
  EXPECT_EQ(window.OuterRect(), (WindowRect{0, 0, 800, 600}));
}

TEST(MainWindowTest, CleanTextEmptiesEverythingButTheCountdown) {
  TKestrel window;
  for (const FieldSpec& layout : kFields) window.front_end().SetField(layout.field, "7");
  window.CleanText(core::Side::Sending);
  for (const FieldSpec& layout : kFields) {
    const bool kept = core::SideOfField(layout.field) == core::Side::Receiving ||
                      layout.field == core::Field::Timeout;
    EXPECT_EQ(window.findChild<QLineEdit*>(layout.name)->text(), kept ? "7" : "") << layout.name;
  }
}

TEST(MainWindowTest, EditorButtonsOpenTheProgramsFiles) {
  testing::TempDir home;
  qputenv("KESTREL_HOME", home.path().c_str());
  TKestrel window;
  std::vector<std::string> opened;
  window.SetEditorOpener([&](const std::string& path) {
    opened.push_back(path);
    return true;
  });
  std::vector<ButtonCommand> commands;
  window.SetCommandHandler([&](ButtonCommand command) { commands.push_back(command); });

  // Named after the program file: the test program here.
  const std::string base = platform::ProgramBaseName();
  const auto name = [&](const std::string& file) { return home.path() + "/" + file; };
  const struct {
    const char* button;
    std::vector<std::string> files;
  } cases[] = {
      {"SetupButton", {name(base + ".INI")}},
      {"HeaderButton", {name("HEADER.TXT")}},
      {"FiltersButton", {name(base + ".FLT")}},
      {"LogFilesButton", {name("SEND.LOG"), name("RECEIVE.LOG")}},
  };
  for (const auto& c : cases) {
    opened.clear();
    window.findChild<QPushButton*>(c.button)->click();
    EXPECT_EQ(opened, c.files) << c.button;
  }
  EXPECT_TRUE(commands.empty());
  window.findChild<QPushButton*>("CheckButton")->click();
  EXPECT_EQ(commands, std::vector<ButtonCommand>{ButtonCommand::Check});
  qunsetenv("KESTREL_HOME");
}

TEST(MainWindowTest, TerminalEditorKeepsThePathOneArgument) {
  EXPECT_FALSE(TerminalEditorCommand("", "vi", "/x"));
  EXPECT_FALSE(TerminalEditorCommand("xterm", "", "/x"));
  const auto command = TerminalEditorCommand("xterm", "emacs -nw", "/home/a b/it's.INI");
  ASSERT_TRUE(command);
  EXPECT_EQ(*command, (std::vector<std::string>{"xterm", "-e", "sh", "-c", "exec emacs -nw \"$1\"",
                                                "sh", "/home/a b/it's.INI"}));
}

}  // namespace
}  // namespace kestrel::gui
