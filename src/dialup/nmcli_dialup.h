// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Dial-up through NetworkManager's command-line client: its connection
// profiles are the phonebook entries, its active connections the active
// connections; dialling brings a profile up, hanging up takes it down.

#include <memory>

#include "dialup/dial_backend.h"

namespace kestrel::dialup {

[[nodiscard]] std::unique_ptr<DialBackend> MakeNmcliBackend();

// The handle of a profile: stable for its name, never kNoConnection.
[[nodiscard]] ConnectionHandle NmcliHandle(const std::string& profile_name);

}  // namespace kestrel::dialup
