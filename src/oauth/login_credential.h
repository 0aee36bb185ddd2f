// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The secret a mail login uses. With the account's provider key set
// (SMTPOAUTH, POPOAUTH, IMAPOAUTH) it is an OAuth 2.0 access token from the
// account's token file, refreshed as needed; otherwise the password or the
// output of the password or token command, as before.

#include <optional>

#include "config/configuration.h"
#include "net/credentials.h"
#include "net/net_session.h"
#include "oauth/account.h"

namespace kestrel::oauth {

[[nodiscard]] bool UsesOAuth(const config::Configuration& configuration, Account account);

// Nothing, with a log line and Aborted set, when no secret could be had; a
// login that must be renewed (`kestrel --login`) also marks the session as
// misconfigured. `refused`: the server refused the token just used, so
// a fresh one is fetched (asked once per connection).
[[nodiscard]] std::optional<net::Credential> ObtainLoginCredential(
    net::NetSession& session, const config::Configuration& configuration, Account account,
    bool refused = false);

}  // namespace kestrel::oauth
