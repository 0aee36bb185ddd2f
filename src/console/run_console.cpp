// SPDX-License-Identifier: GPL-2.0-or-later
#include "console/run_console.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/command_line.h"
#include "app/exit_signals.h"
#include "app/login_command.h"
#include "console/console_front_end.h"

namespace kestrel::console {
namespace {

// The console loop's wait for work when nothing else wakes it.
constexpr auto kLoopWait = std::chrono::milliseconds(1000);

// Standard error, unless it is the same file as standard output (a terminal,
// or "2>&1" in a cron line): then every line is printed once.
std::FILE* ProblemStream() {
  struct stat out {};
  struct stat err {};
  if (fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
      out.st_dev == err.st_dev && out.st_ino == err.st_ino)
    return nullptr;
  return stderr;
}

}  // namespace

int RunConsole(const std::vector<std::string>& arguments, const app::ControllerOptions& options) {
  app::BlockExitSignals();
  const bool quiet = app::ParseCommandLine(arguments).quiet;
  ConsoleFrontEnd front_end(stdout, !quiet && isatty(STDOUT_FILENO) == 1, ProblemStream(), quiet);
  int status = 0;
  bool abandoned = false;
  {
    app::UiDispatcher dispatcher;
    app::Controller controller(front_end, dispatcher, options);
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

int RunLogin(const std::vector<std::string>& accounts, const std::vector<std::string>& switches) {
  ConsoleFrontEnd front_end(stdout, false, ProblemStream());
  const app::LoginConsole console{[](const std::string& line) {
                                    std::fprintf(stdout, "%s\n", line.c_str());
                                    std::fflush(stdout);
                                  },
                                  [](const std::string& line) {
                                    std::fprintf(stderr, "%s\n", line.c_str());
                                    std::fflush(stderr);
                                  },
                                  {}};
  // Ctrl-C ends the login as it ends any program: nothing is half-written,
  // since the token file is only ever replaced whole.
  static const std::atomic<bool> never_stopped{false};
  return app::RunLoginCommand(front_end, accounts, switches, console, never_stopped);
}

}  // namespace kestrel::console
