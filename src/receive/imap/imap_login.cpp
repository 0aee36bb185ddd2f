// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/imap/imap_login.h"

#include <optional>
#include <utility>

#include "mime/ascii_text.h"
#include "net/host_part.h"
#include "net/sasl.h"
#include "net/session_failure.h"
#include "net/start_tls.h"
#include "oauth/login_credential.h"

namespace kestrel::receive {

namespace {

using config::TlsMode;
using net::AbortStep;
using net::Echo;
using net::NetSession;
using net::StepResult;
using Login = net::LoginResult<>;
using LoggedIn = net::LoginResult<ImapCapabilities>;

// CAPABILITY, asked anew: the answer may change with TLS and the login.
StepResult AskCapabilities(ImapChannel& channel, ImapCapabilities& capabilities) {
  capabilities = {};
  const std::string tag = channel.Send("CAPABILITY");
  const ImapResult result =
      channel.Finish(tag, kImapReplyBounds, Echo::Logged,
                     [&capabilities](const ImapLine& line) { capabilities.Take(line.text); });
  if (result.status == ImapStatus::Failed || result.ok()) return StepResult::Of(channel.session());
  return AbortStep(channel.session(), "Server refused CAPABILITY (" + result.line + ")");
}

// An AUTHENTICATE exchange: the initial response in the command with
// SASL-IR, else after the server's "+"; an error challenge is answered so
// that the server can end with its failure.
ImapResult Authenticate(ImapChannel& channel, const ImapCapabilities& capabilities,
                        const std::string& mechanism, const std::string& response) {
  const std::string command = "AUTHENTICATE " + mechanism;
  std::string tag;
  ImapResult result;
  if (capabilities.Has("SASL-IR")) {
    tag = channel.SendSecret(command + " " + (response.empty() ? "=" : response),
                             command + " [credentials]");
    result = channel.Finish(tag, kImapReplyBounds, Echo::Logged, {}, true);
  } else {
    tag = channel.Send(command);
    result = channel.Finish(tag, kImapReplyBounds, Echo::Logged, {}, true);
    if (result.status == ImapStatus::Continue) {
      channel.SendContinuation(response, true);
      result = channel.Finish(tag, kImapReplyBounds, Echo::Logged, {}, true);
    }
  }
  if (result.status == ImapStatus::Continue) {
    // "*" cancels an exchange that has no error answer of its own.
    const bool oauth = mechanism == "XOAUTH2" || mechanism == "OAUTHBEARER";
    const std::string why = oauth ? net::SaslErrorText(result.line.substr(1)) : std::string();
    if (!why.empty()) net::LogLine(channel.session(), "-- The server's reason: " + why);
    channel.SendContinuation(oauth ? net::SaslErrorAnswer(mechanism) : "*", false);
    result = channel.Finish(tag, kImapReplyBounds, Echo::Logged);
  }
  return result;
}

// `may_retry`: a refusal is only logged, for a fresh token to follow.
Login TokenLogin(ImapChannel& channel, const config::Configuration& configuration,
                 const ImapCapabilities& capabilities, const std::string& token, bool may_retry) {
  NetSession& session = channel.session();
  std::string mechanism = net::ChooseMechanism(capabilities.Mechanisms(), true);
  if (mechanism.empty()) mechanism = "XOAUTH2";
  const std::string& user = configuration.IMAPUSERNAME;
  const std::string response =
      mechanism == "XOAUTH2"
          ? net::SaslXOAuth2(user, token)
          : net::SaslOAuthBearer(user, token, net::HostPart(session.server_host()), session.port());
  const ImapResult result = Authenticate(channel, capabilities, mechanism, response);
  StepResult exchanged = StepResult::Of(session);
  if (!exchanged.ok()) return Login::Failed(std::move(exchanged));
  if (result.ok()) return Login::In();
  if (may_retry) {
    net::LogLine(session, "-- Authentication failed (" + result.line + ")");
    return Login::Refused();
  }
  return Login::Failed(AbortStep(session, "Authentication failed (" + result.line + ")"));
}

// With the provider's tokens, a refused one may have been revoked early: a
// fresh one is fetched and tried, once.
Login OAuthLogin(ImapChannel& channel, const config::Configuration& configuration,
                 const ImapCapabilities& capabilities, const std::string& token) {
  Login first = TokenLogin(channel, configuration, capabilities, token, true);
  if (first.in() || first.failed()) return first;
  const std::optional<net::Credential> fresh =
      oauth::ObtainLoginCredential(channel.session(), configuration, oauth::Account::Imap, true);
  if (!fresh) return Login::Failed(StepResult::Of(channel.session()));
  return TokenLogin(channel, configuration, capabilities, fresh->secret, false);
}

Login PasswordLogin(ImapChannel& channel, const config::Configuration& configuration,
                    const ImapCapabilities& capabilities, const std::string& password) {
  NetSession& session = channel.session();
  const std::string& user = configuration.IMAPUSERNAME;
  ImapResult result;
  if (capabilities.Has("AUTH=PLAIN")) {
    result = Authenticate(channel, capabilities, "PLAIN", net::SaslPlain(user, password));
  } else {
    const std::optional<std::string> quoted_user = Quoted(user);
    const std::optional<std::string> quoted_password = Quoted(password);
    if (!quoted_user || !quoted_password) {
      return Login::Failed(AbortStep(session,
                                     "The server offers only LOGIN, which cannot carry this user "
                                     "name or password"));
    }
    const std::string tag = channel.SendSecret("LOGIN " + *quoted_user + " " + *quoted_password,
                                               "LOGIN " + *quoted_user + " [PASSWORD]");
    result = channel.Finish(tag, kImapReplyBounds, Echo::Logged);
  }
  if (result.ok()) return Login::In();
  StepResult answered = StepResult::Of(session);
  if (!answered.ok()) return Login::Failed(std::move(answered));
  (void)net::LoginRefused(session, result.line);
  return Login::Refused();
}

}  // namespace

void ImapCapabilities::Take(std::string_view line) {
  const std::string upper = mime::UpperCase(std::string(line));
  std::size_t start = upper.find("CAPABILITY ");
  if (start == std::string::npos) return;
  std::size_t end = upper.find(']', start);
  if (end == std::string::npos) end = upper.size();
  start += std::string_view("CAPABILITY ").size();
  while (start < end) {
    const std::size_t blank = std::min(upper.find(' ', start), end);
    if (blank > start) words_.insert(upper.substr(start, blank - start));
    start = blank + 1;
  }
}

bool ImapCapabilities::Has(std::string_view word) const {
  return words_.find(word) != words_.end();
}

std::string ImapCapabilities::Mechanisms() const {
  std::string mechanisms;
  for (const std::string& word : words_) {
    if (word.rfind("AUTH=", 0) == 0) mechanisms += word.substr(5) + " ";
  }
  return mechanisms;
}

LoggedIn ImapLogin(ImapChannel& channel, const config::Configuration& configuration) {
  NetSession& session = channel.session();
  if (configuration.IMAPTLS == TlsMode::Implicit && !net::StartTls(session, configuration.CAFILE))
    return LoggedIn::Failed(StepResult::Of(session));
  channel.Begin(kImapReplyBounds);
  const std::optional<ImapLine> greeting = channel.ReadLine(Echo::Logged);
  if (!greeting) return LoggedIn::Failed(StepResult::Of(session));
  const std::string upper = mime::UpperCase(greeting->text);
  if (upper.rfind("* OK", 0) != 0 && upper.rfind("* PREAUTH", 0) != 0) {
    return LoggedIn::Failed(
        AbortStep(session, "Server refused the connection (" + greeting->text + ")"));
  }
  ImapCapabilities capabilities;
  if (configuration.IMAPTLS == TlsMode::StartTls) {
    const std::string tag = channel.Send("STARTTLS");
    const ImapResult result = channel.Finish(tag, kImapReplyBounds, Echo::Logged);
    StepResult answered = StepResult::Of(session);
    if (!answered.ok()) return LoggedIn::Failed(std::move(answered));
    if (!result.ok()) {
      return LoggedIn::Failed(
          AbortStep(session, "Server does not offer STARTTLS (" + result.line + ")"));
    }
    if (!net::StartTls(session, configuration.CAFILE)) {
      return LoggedIn::Failed(StepResult::Of(session));
    }
  }
  StepResult asked = AskCapabilities(channel, capabilities);
  if (!asked.ok()) return LoggedIn::Failed(std::move(asked));
  if (upper.rfind("* PREAUTH", 0) == 0) return LoggedIn::In(std::move(capabilities));
  if (capabilities.Has("LOGINDISABLED")) {
    return LoggedIn::Failed(
        AbortStep(session, "The server allows no login without TLS (set IMAPTLS)"));
  }
  const std::optional<net::Credential> credential =
      oauth::ObtainLoginCredential(session, configuration, oauth::Account::Imap);
  if (!credential) return LoggedIn::Failed(StepResult::Of(session));
  const Login in = oauth::UsesOAuth(configuration, oauth::Account::Imap)
                       ? OAuthLogin(channel, configuration, capabilities, credential->secret)
                   : credential->is_token
                       ? TokenLogin(channel, configuration, capabilities, credential->secret, false)
                       : PasswordLogin(channel, configuration, capabilities, credential->secret);
  if (!in.in()) return LoggedIn::Like(in, {});
  asked = AskCapabilities(channel, capabilities);
  return LoggedIn::InAfter(std::move(asked), std::move(capabilities));
}

}  // namespace kestrel::receive
