// SPDX-License-Identifier: GPL-2.0-or-later
// The window's way to the login of `kestrel --login`: the same command on a
// worker, since the device flow waits minutes for the sysop.

#include "app/controller.h"
#include "app/login_command.h"

namespace kestrel::app {

void Controller::LoginClick(oauth::OpenAddress open) {
  if (flags_.Exiting || login_running_.exchange(true)) return;
  const auto show = [this](const std::string& line) {
    front_end_.AppendPaneLine(core::Side::Receiving, line);
  };
  LoginConsole console{show, show, {}};
  if (open) {
    // The browser belongs to the user-interface thread.
    console.open = [this, open](const std::string& address) {
      dispatcher_.Post([open, address] { open(address); });
    };
  }
  const std::vector<std::string> switches = {"/CFG:" + ConfigFileName()};
  try {
    worker_.Spawn({[this, console, switches] {
                     // Exit stops the wait; the outcome is in the pane already.
                     (void)RunLoginCommand(front_end_, {}, switches, console, flags_.Exiting);
                   },
                   [this] { login_running_ = false; },
                   [this, show](const std::string& message) {
                     show("-- " + message);
                     login_running_ = false;
                   }});
  } catch (const WinThreadError& error) {
    show(std::string("-- ") + error.what());
    login_running_ = false;
  }
}

}  // namespace kestrel::app
