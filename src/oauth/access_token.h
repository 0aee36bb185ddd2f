// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The access token a login uses: the cached one while it has time left,
// else a new one got with the refresh token. A refresh token the provider
// returns replaces the old one in the file at once, since providers rotate
// them and the old one may already be dead.

#include <cstdint>
#include <string>

#include "oauth/token_client.h"

namespace kestrel::oauth {

// A cached token closer to its end than this is refreshed first: it must
// last through the connection and the login.
inline constexpr std::int64_t kRefreshMarginSeconds = 300;

struct AccessToken {
  enum class Status {
    Ready,       // `token` holds it
    NeedsLogin,  // only a new `kestrel --login` helps: `problem` says so
    Failed,      // try again later: `problem` says why
  };
  Status status = Status::Failed;
  std::string token;
  std::string problem;  // a log line; never holds a token
};

// `refused`: the server refused the cached token, so a new one is fetched
// whatever its time left. `now`: seconds since 1970.
[[nodiscard]] AccessToken CurrentAccessToken(const TokenClient& client, Account account,
                                             const std::string& user, bool refused,
                                             std::int64_t now);

}  // namespace kestrel::oauth
