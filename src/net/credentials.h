// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The secret a login uses: a password written in the configuration, or the
// first line printed by a password or token command, run when the job needs it.

#include <optional>
#include <string>

#include "net/net_session.h"

namespace kestrel::net {

struct Credential {
  std::string secret;
  bool is_token = false;  // an OAuth 2.0 bearer token rather than a password
};

// With a token command, its output as a token; else with a password command,
// its output; else `password`. Nothing, with a log line and Aborted set, when
// a command fails. The commands get NETTIMEOUT seconds and see Stop.
[[nodiscard]] std::optional<Credential> ObtainCredential(NetSession& session,
                                                         const std::string& password,
                                                         const std::string& password_command,
                                                         const std::string& token_command);

}  // namespace kestrel::net
