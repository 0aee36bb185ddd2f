// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The two ways of a login, each ending with the tokens granted (or a line
// saying why not), and the saving they share.

#include <atomic>
#include <optional>
#include <string>

#include "oauth/login.h"
#include "oauth/token_client.h"

namespace kestrel::oauth {

// What a flow hands over: the granted tokens, or a problem.
struct Granted {
  std::optional<TokenReply> tokens;
  std::string problem;
};

[[nodiscard]] Granted DeviceFlow(const TokenClient& client, Account account,
                                 const std::string& user, const Say& say,
                                 const std::atomic<bool>& aborted, const OpenAddress& open);

[[nodiscard]] Granted CodeFlow(const TokenClient& client, Account account, const std::string& user,
                               const Say& say, const std::atomic<bool>& aborted,
                               const OpenAddress& open);

}  // namespace kestrel::oauth
