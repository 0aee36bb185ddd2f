// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Takes a password or an OAuth 2.0 bearer token from the output of a command,
// as common mail tools do, so that no secret needs to stand in the INI file.

#include <atomic>
#include <optional>
#include <string>

namespace kestrel::net {

// Runs `command` with /bin/sh in the program's home and returns the first
// line of its standard output, without the line end. Nothing (and `error` set) when it cannot be
// started, exits non-zero, prints nothing, runs longer than `timeout_seconds`
// or while `aborted` becomes set; a command still running then is killed.
[[nodiscard]] std::optional<std::string> RunCredentialCommand(const std::string& command,
                                                              int timeout_seconds,
                                                              const std::atomic<bool>& aborted,
                                                              std::string& error);

}  // namespace kestrel::net
