// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Requests to a provider's token endpoint as the sysop's registered
// application: the grant's own fields, the client id and, where the
// provider wants one, the client secret.

#include <atomic>
#include <optional>
#include <string>

#include "config/configuration.h"
#include "oauth/https_post.h"
#include "oauth/provider_settings.h"
#include "oauth/token_reply.h"

namespace kestrel::oauth {

struct TokenClient {
  OAuthSettings settings;
  std::string client_secret;  // empty: a public client
  HttpsLimits limits;
};

// The client for an account: the secret from OAUTHCLIENTSECRET or printed
// by OAUTHCLIENTSECRETCOMMAND (run as the password commands are). Nothing,
// with `problem` set, when the command fails.
[[nodiscard]] std::optional<TokenClient> MakeTokenClient(const config::Configuration& configuration,
                                                         Account account,
                                                         const std::atomic<bool>& aborted,
                                                         std::string& problem);

struct TokenOutcome {
  enum class Kind {
    Granted,  // tokens in `reply`
    Refused,  // the provider's error in `reply.error`
    Failed,   // no usable answer: `failure` says why
  };
  Kind kind = Kind::Failed;
  TokenReply reply;
  std::string failure;
};

// POSTs the grant to the token endpoint (or to `url` when given).
[[nodiscard]] TokenOutcome RequestTokens(const TokenClient& client, FormFields grant,
                                         const std::string& url = {});

// "invalid_grant (the provider's description)", for lines.
[[nodiscard]] std::string DescribeRefusal(const TokenReply& reply);

}  // namespace kestrel::oauth
