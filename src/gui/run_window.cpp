// SPDX-License-Identifier: GPL-2.0-or-later
#include "gui/run_window.h"

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "app/exit_signals.h"
#include "app/status_report.h"
#include "gui/main_window.h"
#include "platform/program_home.h"

namespace kestrel::gui {

namespace {

// One pass of the waits that follow a close by the title bar.
constexpr int kWaitPasses = 100;

void Dispatch(app::Controller& controller, const TKestrel& window, ButtonCommand command) {
  switch (command) {
    case ButtonCommand::Run:
      controller.RunButtonClick();
      break;
    case ButtonCommand::Get:
      controller.GetOnlyClick();
      break;
    case ButtonCommand::StopGet:
      controller.StopGetButtonClick();
      break;
    case ButtonCommand::Send:
      controller.SendButtonClick();
      break;
    case ButtonCommand::StopSend:
      controller.StopSendButtonClick();
      break;
    case ButtonCommand::Check:
      controller.CheckButtonClick();
      break;
    case ButtonCommand::Connect:
      controller.ConnectButtonClick();
      break;
    case ButtonCommand::Hangup:
      controller.HangupButtonClick();
      break;
    case ButtonCommand::Exit:
      controller.ExitButtonClick();
      break;
    case ButtonCommand::Login:
      controller.LoginClick(window.address_opener());
      break;
    case ButtonCommand::Setup:
    case ButtonCommand::Header:
    case ButtonCommand::Filters:
    case ButtonCommand::LogFiles:
    case ButtonCommand::Status:
      break;  // the window opens the editors and the status view itself
  }
}

}  // namespace

void BindWindow(TKestrel& window, app::Controller& controller) {
  window.SetCommandHandler(
      [&controller, &window](ButtonCommand command) { Dispatch(controller, window, command); });
  window.SetTitleBarCloseHandler([&controller] { controller.flags().StopPolling = true; });
  window.SetStatusSource([&controller] {
    return app::GatherStatus(controller.ConfigFileName(),
                             static_cast<std::int64_t>(std::time(nullptr)));
  });

  app::ControllerHooks hooks;
  hooks.save_def = [&window] { window.SaveDef(); };
  hooks.close_window = [&window] { window.CloseByCommand(); };
  hooks.process_events = [] { QCoreApplication::processEvents(); };
  hooks.job_ended = [&window] { window.RefreshStatus(); };
  controller.SetHooks(std::move(hooks));
}

void WaitForRunningTasks(app::Controller& controller) {
  while (controller.AnyTaskRunning() && !controller.WorkersAbandoned()) {
    controller.PumpedWait([&controller] { return controller.AnyTaskRunning(); }, kWaitPasses);
  }
}

int RunWindow(int argc, char** argv, const app::ControllerOptions& options) {
  // Before Qt starts its threads: a closed terminal or a SIGTERM runs Exit's
  // steps rather than leave busy flags and half-written logs behind.
  app::BlockExitSignals();
  platform::SetProgramPath(argv[0]);
  // The window is laid out in pixels; scaling it to the screen's resolution
  // is left off unless the user asks for it.
  if (qEnvironmentVariableIsEmpty("QT_ENABLE_HIGHDPI_SCALING")) {
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
  }
  QApplication application(argc, argv);
  QApplication::setApplicationName("Kestrel");

  TKestrel window;
  int status = 0;
  {
    app::Controller controller(window.front_end(), window.dispatcher(), options);
    BindWindow(window, controller);
    const app::ExitSignalWatcher exit_signals(controller);
    window.LoadDef();
    window.show();

    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
    // The command line runs once the event loop turns, as the window's first
    // activation; a window manager may never activate a window, so the event
    // loop's start stands in for it.
    QTimer::singleShot(0, &window, [&controller, arguments] { controller.RunMail(arguments); });

    QApplication::exec();

    if (!controller.CloseRequested()) WaitForRunningTasks(controller);
    status = controller.ExitStatus();
    // The controller's end waits for its workers without serving the window;
    // a worker's last lines then reach only the log files.
    window.DetachFrontEnd();
    if (controller.WorkersAbandoned()) {
      // Workers that would not end may still use the controller, its logger and
      // the front end: nothing of them may be destroyed.
      std::fflush(nullptr);
      std::_Exit(status);
    }
  }  // the controller's end may still turn the event loop through its hooks
  window.SetCommandHandler({});
  window.SetTitleBarCloseHandler({});
  window.SetStatusSource({});
  return status;
}

}  // namespace kestrel::gui
