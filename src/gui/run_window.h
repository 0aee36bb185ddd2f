// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The window front end as a whole: the main window driven by the application
// controller on the Qt event loop.
//
// The program's main calls RunWindow when a display is available:
//   return kestrel::gui::RunWindow(argc, argv, options);
// It creates the QApplication, the window and the controller, restores the
// window's position, shows it, hands argv[1..] to Controller::RunMail once the
// event loop runs, and returns Controller::ExitStatus() when the window has
// closed. When Exit had to abandon workers that would not end, it ends the
// process itself (std::_Exit after flushing every stdio stream) instead of
// returning, since those workers may still use the controller.
//
// Closing by the title bar (or the window manager) is not Exit: the position is
// not saved and no job is stopped. The one thing it does is ask the polling
// loop to stop (StopPolling), because polling never ends by itself and would
// otherwise keep the process alive for ever; then, with the window gone, the
// jobs still running are waited for until they end on their own (each is bound
// by its network time-outs), and their last lines still reach the log files.

#include "app/controller.h"

namespace kestrel::gui {

class TKestrel;

// Binds a window and a controller made on the user-interface thread over the
// window's front end and dispatcher: the buttons run the controller's
// commands, the controller's hooks save the window's position, close it and
// turn the Qt event loop in waits, and closing by the title bar asks polling
// to stop. The controller must go before the window.
void BindWindow(TKestrel& window, app::Controller& controller);

// After a close by the title bar: keeps serving the controller and the event
// loop until no task runs any more.
void WaitForRunningTasks(app::Controller& controller);

int RunWindow(int argc, char** argv, const app::ControllerOptions& options = {});

}  // namespace kestrel::gui
