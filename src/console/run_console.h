// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A run without a window: the command line acts as in the window, then the
// console serves the controller until the jobs are done (or, with polling,
// until Exit). "/REPORT" runs Check and "/CONNECT" runs Connect. SIGINT,
// SIGTERM, SIGHUP and SIGQUIT run the Exit command's steps. "/QUIET" prints
// nothing but problems, on standard error (ConsoleFrontEnd).

#include <string>
#include <vector>

#include "app/controller.h"

namespace kestrel::console {

// Returns the run's exit status (Controller::ExitStatus, app/exit_status.h).
// When Exit had to abandon workers it does not return: it flushes the output
// and ends the process with that same status, since the workers may still use
// what returning would destroy.
int RunConsole(const std::vector<std::string>& arguments,
               const app::ControllerOptions& options = {});

// `kestrel --login`: the logins of the accounts named (all with a provider
// key when none is), at the terminal; its exit status (app/login_command.h).
int RunLogin(const std::vector<std::string>& accounts, const std::vector<std::string>& switches);

}  // namespace kestrel::console
