// SPDX-License-Identifier: GPL-2.0-or-later
#include "oauth/login.h"

#include <ctime>

#include "oauth/access_token.h"
#include "oauth/login_flows.h"
#include "oauth/token_file.h"

namespace kestrel::oauth {

LoginOutcome LogIn(const config::Configuration& configuration, Account account, const Say& say,
                   const std::atomic<bool>& aborted, const OpenAddress& open) {
  LoginOutcome outcome;
  const std::optional<TokenClient> client =
      MakeTokenClient(configuration, account, aborted, outcome.problem);
  if (!client) return outcome;
  const std::string& user = UserOf(configuration, account);
  const Granted granted = client->settings.device_url.empty()
                              ? CodeFlow(*client, account, user, say, aborted, open)
                              : DeviceFlow(*client, account, user, say, aborted, open);
  if (!granted.tokens) {
    outcome.problem = granted.problem;
    return outcome;
  }
  if (granted.tokens->refresh_token.empty()) {
    outcome.problem =
        "** The provider granted no refresh token: the scope must ask for offline "
        "access (OAUTHSCOPE)";
    return outcome;
  }
  StoredTokens tokens;
  tokens.refresh_token = granted.tokens->refresh_token;
  tokens.access_token = granted.tokens->access_token;
  const std::int64_t lifetime = granted.tokens->expires_in;
  tokens.expires_at = lifetime > 0 ? std::time(nullptr) + lifetime : 0;
  const std::string file = TokenFileName(account, user);
  if (!SaveTokens(file, tokens)) {
    outcome.problem = "** Token file " + file + " cannot be written";
    return outcome;
  }
  say("-- " + std::string(AccountLabel(account)) + " login of " + user + " saved in " + file);
  outcome.logged_in = true;
  return outcome;
}

}  // namespace kestrel::oauth
