// SPDX-License-Identifier: GPL-2.0-or-later
// Renders the main window after a real round on a sample system to a PNG:
//   gui_window_shot OUTPUT.png
// Send is clicked, the mail is handed from the SMTP server to the POP3 mailbox,
// then Get is clicked; the window is captured with what the jobs left in its
// fields and panes. Without the mail servers it shows a Check report instead.
#include <QApplication>
#include <QPixmap>
#include <QPushButton>
#include <chrono>
#include <cstdio>

#include "app/controller.h"
#include "gui/main_window.h"
#include "gui/run_window.h"
#include "pump_until.h"
#include "sample_round.h"

namespace {

using kestrel::gui::PumpUntil;
using namespace std::chrono_literals;

void Click(const kestrel::gui::TKestrel& window, const char* button) {
  window.findChild<QPushButton*>(button)->click();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
    return 2;
  }
  QApplication application(argc, argv);
  kestrel::gui::SampleRound round;
  kestrel::gui::TKestrel window;
  int status = 1;
  {
    kestrel::app::Controller controller(window.front_end(), window.dispatcher());
    kestrel::gui::BindWindow(window, controller);
    window.show();
    PumpUntil([] { return false; }, 200ms);

    if (round.servers_running()) {
      Click(window, "SendButton");
      PumpUntil([&] { return !controller.flags().SendRunning; }, 60s);
      if (round.HandMailToMailbox(2)) {
        Click(window, "GetButton");
        PumpUntil([&] { return !controller.flags().GetRunning; }, 60s);
      }
    } else {
      Click(window, "CheckButton");
    }
    PumpUntil([] { return false; }, 200ms);
    status = window.grab().save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
    window.DetachFrontEnd();
  }
  if (status != 0) std::fprintf(stderr, "could not write %s\n", argv[1]);
  return status;
}
