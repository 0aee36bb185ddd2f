// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/credentials.h"

#include "net/credential_command.h"

namespace kestrel::net {

std::optional<Credential> ObtainCredential(NetSession& session, const std::string& password,
                                           const std::string& password_command,
                                           const std::string& token_command) {
  const bool token = !token_command.empty();
  const std::string& command = token ? token_command : password_command;
  if (command.empty()) return Credential{password, false};
  std::string error;
  std::optional<std::string> secret =
      RunCredentialCommand(command, session.net_timeout(), session.abort_flag(), error);
  if (!secret) {
    // The command line itself may hold a secret: it is not logged.
    LogAndAbort(session, std::string("-- ") + (token ? "Token" : "Password") +
                             " command failed: " + error + ", aborting");
    return std::nullopt;
  }
  return Credential{*secret, token};
}

}  // namespace kestrel::net
