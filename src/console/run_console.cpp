// SPDX-License-Identifier: GPL-2.0-or-later
#include "console/run_console.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/exit_signals.h"
#include "console/console_front_end.h"

namespace kestrel::console {
namespace {

// The console loop's wait for work when nothing else wakes it.
constexpr auto kLoopWait = std::chrono::milliseconds(1000);

}  // namespace

int RunConsole(const std::vector<std::string>& arguments, const app::ControllerOptions& options) {
  app::BlockExitSignals();
  ConsoleFrontEnd front_end(stdout, isatty(STDOUT_FILENO) == 1);
  int status = 0;
  bool abandoned = false;
  {
    app::Controller controller(front_end, options);
    const app::ExitSignalWatcher exit_signals(controller);

    controller.RunMail(arguments);
    while (!controller.CloseRequested()) {
      // Ends by itself once its jobs are done, unless polling goes on.
      if (!controller.AnyTaskRunning()) {
        controller.ExitButtonClick();
        break;
      }
      controller.dispatcher().WaitForWork(kLoopWait);
      controller.ProcessMessages();
    }
    status = controller.ExitStatus();
    abandoned = controller.WorkersAbandoned();
    if (abandoned) {
      // Workers that would not end may still use the controller and the logs:
      // nothing of them may be destroyed.
      std::fflush(nullptr);
      std::_Exit(status);
    }
  }
  return status;
}

}  // namespace kestrel::console
