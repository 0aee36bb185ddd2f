// SPDX-License-Identifier: GPL-2.0-or-later
#include "oauth/login_credential.h"

#include <ctime>

#include "oauth/access_token.h"

namespace kestrel::oauth {

namespace {

struct PasswordKeys {
  const std::string& password;
  const std::string& password_command;
  const std::string& token_command;
};

PasswordKeys KeysOf(const config::Configuration& c, Account account) {
  switch (account) {
    case Account::Smtp:
      return {c.SMTPPASSWORD, c.SMTPPASSWORDCOMMAND, c.SMTPTOKENCOMMAND};
    case Account::Pop3:
      return {c.POPPASSWORD, c.POPPASSWORDCOMMAND, c.POPTOKENCOMMAND};
    case Account::Imap:
      break;
  }
  return {c.IMAPPASSWORD, c.IMAPPASSWORDCOMMAND, c.IMAPTOKENCOMMAND};
}

}  // namespace

bool UsesOAuth(const config::Configuration& configuration, Account account) {
  const config::OAuthProvider provider = ProviderOf(configuration, account);
  return provider != config::OAuthProvider::None && provider != config::OAuthProvider::Invalid;
}

std::optional<net::Credential> ObtainLoginCredential(net::NetSession& session,
                                                     const config::Configuration& configuration,
                                                     Account account, bool refused) {
  if (!UsesOAuth(configuration, account)) {
    const PasswordKeys keys = KeysOf(configuration, account);
    return net::ObtainCredential(session, keys.password, keys.password_command, keys.token_command);
  }
  std::string problem;
  const std::optional<TokenClient> client =
      MakeTokenClient(configuration, account, session.abort_flag(), problem);
  if (!client) {
    net::LogAndAbort(session, problem + ", aborting", core::LineKind::Problem);
    return std::nullopt;
  }
  if (refused) {
    net::LogLine(session, "-- The server refused the access token; fetching a new one");
  }
  const AccessToken token = CurrentAccessToken(*client, account, UserOf(configuration, account),
                                               refused, std::time(nullptr));
  switch (token.status) {
    case AccessToken::Status::Ready:
      return net::Credential{token.token, true};
    case AccessToken::Status::NeedsLogin:
      net::LogLine(session, token.problem, core::LineKind::Problem);
      session.NoteMisconfigured("the " + std::string(AccountLabel(account)) + " login");
      session.Abort(token.problem);
      return std::nullopt;
    case AccessToken::Status::Failed:
      break;
  }
  net::LogAndAbort(session, token.problem + ", aborting", core::LineKind::Problem);
  return std::nullopt;
}

}  // namespace kestrel::oauth
