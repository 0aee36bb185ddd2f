// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The one-time login of an account (`kestrel --login`): the device flow
// (RFC 8628) where the provider offers it, else the browser's code flow
// with PKCE and a redirect to 127.0.0.1 (RFC 7636, RFC 8252). Either ends
// with the account's token file written.

#include <atomic>
#include <functional>
#include <string>

#include "config/configuration.h"
#include "oauth/account.h"

namespace kestrel::oauth {

// Shows one line to the sysop at the terminal: the address to open, the
// code to enter, how the wait goes. Never given a token or a secret.
using Say = std::function<void(const std::string& line)>;
// Opens the address the sysop must visit (the device page, the login page)
// in a browser; empty where only the line that names it is shown.
using OpenAddress = std::function<void(const std::string& address)>;

struct LoginOutcome {
  bool logged_in = false;
  std::string problem;  // why not; never holds a token, code or secret
};

[[nodiscard]] LoginOutcome LogIn(const config::Configuration& configuration, Account account,
                                 const Say& say, const std::atomic<bool>& aborted,
                                 const OpenAddress& open = {});

}  // namespace kestrel::oauth
