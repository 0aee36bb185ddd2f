// SPDX-License-Identifier: GPL-2.0-or-later
// The program: the window when a display is available, else (or with
// "--console") the console front end. The window is a module opened only
// then, so a console run never maps Qt.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "console/pieces_command.h"
#include "console/run_console.h"
#include "console/status_command.h"
#include "core/version.h"
#include "platform/program_home.h"
#include "program_options.h"

#ifdef KESTREL_HAVE_GUI
#include "window_module_loader.h"
#endif

namespace {

[[maybe_unused]] bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // Output piped into a reader that quits early must not end a job half-way.
  // (Sockets never raise SIGPIPE: their writes ask for no signal.)
  std::signal(SIGPIPE, SIG_IGN);
  kestrel::platform::SetProgramPath(argc > 0 ? argv[0] : "kestrel");
  const kestrel::ProgramOptions options =
      kestrel::ParseProgramOptions(std::vector<std::string>(argv + (argc > 0), argv + argc));
  if (options.help) {
    std::fputs(kestrel::HelpText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("Kestrel %s\n", std::string(kestrel::core::kVersion).c_str());
    return 0;
  }
  if (!options.unknown.empty()) {
    std::fprintf(stderr, "kestrel: unknown option %s (see kestrel --help)\n",
                 options.unknown.c_str());
    return kestrel::app::kExitUsage;
  }
  if (options.status != kestrel::StatusOption::None) {
    return kestrel::console::RunStatusCommand(options.status == kestrel::StatusOption::Json
                                                  ? kestrel::console::StatusFormat::Json
                                                  : kestrel::console::StatusFormat::Text,
                                              options.switches);
  }
  if (options.pieces)
    return kestrel::console::RunPiecesCommand(options.pieces_words, options.switches);
  if (const auto stray = kestrel::app::ArgumentWithoutSwitch(options.switches)) {
    std::fprintf(stderr, "kestrel: %s is no switch (see kestrel --help)\n", stray->c_str());
    return kestrel::app::kExitUsage;
  }
  if (options.login) return kestrel::console::RunLogin(options.login_accounts, options.switches);
  if (options.console && options.switches.empty()) {
    std::fprintf(stderr, "kestrel: --console needs a switch such as /AUTO (see kestrel --help)\n");
    return kestrel::app::kExitUsage;
  }
#ifdef KESTREL_HAVE_GUI
  if (!options.console && DisplayAvailable()) {
    const kestrel::WindowModule window = kestrel::OpenWindowModule();
    if (window.run) return window.run(argc, argv);
    // A broken install still does its work, as the console program does.
    std::fprintf(stderr, "kestrel: cannot show the window (%s); using the console\n",
                 window.problem.c_str());
  }
#endif
  // Without a window and without a switch there is nothing to do: say how.
  if (options.switches.empty()) {
    std::fputs(kestrel::HelpText().c_str(), stderr);
    return kestrel::app::kExitUsage;
  }
  return kestrel::console::RunConsole(options.switches);
}
