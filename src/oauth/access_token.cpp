// SPDX-License-Identifier: GPL-2.0-or-later
#include "oauth/access_token.h"

#include "oauth/token_file.h"

namespace kestrel::oauth {

namespace {

// A provider that names no lifetime: RFC 6749 leaves it to the provider,
// and an hour is what the common ones issue.
constexpr std::int64_t kAssumedLifetimeSeconds = 3600;

AccessToken Problem(AccessToken::Status status, std::string text) {
  AccessToken token;
  token.status = status;
  token.problem = std::move(text);
  return token;
}

std::string LoginAgain(Account account) {
  return "kestrel --login " + std::string(AccountWord(account));
}

}  // namespace

AccessToken CurrentAccessToken(const TokenClient& client, Account account, const std::string& user,
                               bool refused, std::int64_t now) {
  const std::string file = TokenFileName(account, user);
  LoadedTokens loaded = LoadTokens(file);
  if (loaded.state != TokenFileState::Loaded)
    return Problem(AccessToken::Status::NeedsLogin, TokenFileProblem(loaded.state, file, account));
  StoredTokens& tokens = loaded.tokens;
  if (!refused && !tokens.access_token.empty() && tokens.expires_at - now > kRefreshMarginSeconds) {
    AccessToken ready;
    ready.status = AccessToken::Status::Ready;
    ready.token = tokens.access_token;
    return ready;
  }
  FormFields grant = {{"grant_type", "refresh_token"}, {"refresh_token", tokens.refresh_token}};
  if (!client.settings.scope.empty()) grant.emplace_back("scope", client.settings.scope);
  const TokenOutcome outcome = RequestTokens(client, std::move(grant));
  const std::string label(AccountLabel(account));
  if (outcome.kind == TokenOutcome::Kind::Refused) {
    // The refresh token is dead (revoked, expired, rotated elsewhere):
    // asking again would only be refused again.
    if (outcome.reply.error == "invalid_grant") {
      return Problem(AccessToken::Status::NeedsLogin,
                     "** The " + label + " login is no longer valid (" +
                         DescribeRefusal(outcome.reply) + "): run " + LoginAgain(account));
    }
    return Problem(AccessToken::Status::Failed,
                   "-- " + label + " token refresh refused: " + DescribeRefusal(outcome.reply));
  }
  if (outcome.kind == TokenOutcome::Kind::Failed) {
    return Problem(AccessToken::Status::Failed,
                   "-- " + label + " token refresh failed: " + outcome.failure);
  }
  const bool rotated =
      !outcome.reply.refresh_token.empty() && outcome.reply.refresh_token != tokens.refresh_token;
  if (rotated) tokens.refresh_token = outcome.reply.refresh_token;
  tokens.access_token = outcome.reply.access_token;
  tokens.expires_at =
      now + (outcome.reply.expires_in > 0 ? outcome.reply.expires_in : kAssumedLifetimeSeconds);
  if (!SaveTokens(file, tokens) && rotated) {
    // The old refresh token is dead and the new one could not be kept.
    return Problem(AccessToken::Status::NeedsLogin, "** Token file " + file +
                                                        " cannot be written: run " +
                                                        LoginAgain(account) + " once it can");
  }
  AccessToken ready;
  ready.status = AccessToken::Status::Ready;
  ready.token = tokens.access_token;
  return ready;
}

}  // namespace kestrel::oauth
