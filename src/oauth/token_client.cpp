// SPDX-License-Identifier: GPL-2.0-or-later
#include "oauth/token_client.h"

#include "net/credential_command.h"

namespace kestrel::oauth {

std::optional<TokenClient> MakeTokenClient(const config::Configuration& configuration,
                                           Account account, const std::atomic<bool>& aborted,
                                           std::string& problem) {
  TokenClient client;
  client.settings = SettingsFor(configuration, account);
  client.limits.timeout_seconds = configuration.NETTIMEOUT;
  client.limits.ca_file = configuration.CAFILE;
  client.limits.aborted = &aborted;
  client.client_secret = configuration.OAUTHCLIENTSECRET;
  if (!configuration.OAUTHCLIENTSECRETCOMMAND.empty()) {
    std::string error;
    const std::optional<std::string> secret = net::RunCredentialCommand(
        configuration.OAUTHCLIENTSECRETCOMMAND, configuration.NETTIMEOUT, aborted, error);
    // The command line itself may hold a secret: it is not shown.
    if (!secret) {
      problem = "-- Client secret command failed: " + error;
      return std::nullopt;
    }
    client.client_secret = *secret;
  }
  return client;
}

TokenOutcome RequestTokens(const TokenClient& client, FormFields grant, const std::string& url) {
  grant.emplace_back("client_id", client.settings.client_id);
  if (!client.client_secret.empty()) grant.emplace_back("client_secret", client.client_secret);
  const HttpsReply reply =
      PostForm(url.empty() ? client.settings.token_url : url, grant, client.limits);
  TokenOutcome outcome;
  if (reply.status == 0) {
    outcome.failure = reply.failure;
    return outcome;
  }
  const std::optional<TokenReply> parsed = ParseTokenReply(reply.body);
  if (!parsed) {
    outcome.failure = "HTTP " + std::to_string(reply.status) + ", no JSON answer";
    return outcome;
  }
  outcome.reply = *parsed;
  if (!parsed->error.empty()) {
    outcome.kind = TokenOutcome::Kind::Refused;
  } else if (reply.status == 200 && !parsed->access_token.empty()) {
    outcome.kind = TokenOutcome::Kind::Granted;
  } else {
    outcome.failure = "HTTP " + std::to_string(reply.status) + ", no access token";
  }
  return outcome;
}

std::string DescribeRefusal(const TokenReply& reply) {
  if (reply.error_description.empty()) return reply.error;
  return reply.error + " (" + reply.error_description + ")";
}

}  // namespace kestrel::oauth
