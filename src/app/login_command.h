// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// `kestrel --login [smtp|pop|imap]...`: the one-time OAuth 2.0 login of each
// account named, or of every account whose provider key is set. The
// configuration is read as a run reads it (/CFG: counts); its problems reach
// `front_end`.

#include <atomic>
#include <string>
#include <vector>

#include "core/front_end.h"
#include "oauth/login.h"

namespace kestrel::app {

// What the login shows: lines for the sysop, and problems.
struct LoginConsole {
  oauth::Say say;
  oauth::Say problem;
  oauth::OpenAddress open;  // empty: the sysop opens the address shown
};

// The exit status: 0 every login saved, 1 a login failed, 2 the command
// line or the configuration cannot be used (an account without a provider).
[[nodiscard]] int RunLoginCommand(core::FrontEnd& front_end,
                                  const std::vector<std::string>& accounts,
                                  const std::vector<std::string>& switches,
                                  const LoginConsole& console, const std::atomic<bool>& aborted);

}  // namespace kestrel::app
