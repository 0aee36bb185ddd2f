// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/pop3/pop3_login.h"

#include <optional>
#include <string>
#include <utility>

#include "core/text_utils.h"
#include "mime/ascii_text.h"
#include "net/host_part.h"
#include "net/sasl.h"
#include "net/secret_line.h"
#include "net/session_failure.h"
#include "net/start_tls.h"
#include "oauth/login_credential.h"
#include "receive/pop3/pop3_pace.h"
#include "receive/pop3/pop3_reply.h"

namespace kestrel::receive {

namespace {

using config::TlsMode;
using net::AbortStep;
using net::NetSession;
using net::StepResult;
using Login = net::LoginResult<>;

// A CAPA answer longer than this is not a capability list.
constexpr std::size_t kMaxCapabilityLines = 100;

// CAPA and its answer into `capabilities`; nothing offered when the server
// refuses it.
StepResult AskCapabilities(NetSession& session, Pop3Capabilities& capabilities) {
  capabilities = {};
  net::SendLine(session, "CAPA");
  if (!IsOk(ReadPop3Reply(session))) return StepResult::Of(session);
  for (const std::string& line :
       net::ReadDotList(session, kMaxCapabilityLines, net::Echo::Logged, net::kReplyBounds).lines) {
    const std::string upper = mime::UpperCase(line);
    if (upper.rfind("SASL ", 0) == 0) capabilities.sasl = upper.substr(5);
    if (upper == "PIPELINING") capabilities.pipelining = true;
    if (upper.rfind("LOGIN-DELAY ", 0) == 0) {
      capabilities.login_delay_seconds = core::TextToInt(upper.substr(12));
    }
  }
  return StepResult::Of(session);
}

// A reply other than +OK to a login: the read broke off, a pause the server
// asks for, or a refusal proper.
Login Refused(NetSession& session, const config::Configuration& configuration,
              const std::string& reply) {
  StepResult read = StepResult::Of(session);
  if (!read.ok()) return Login::Failed(std::move(read));
  if (IsPacedRefusal(reply)) {
    NotePacedRefusal(session, configuration, reply);
  } else {
    (void)net::LoginRefused(session, reply);
  }
  return Login::Refused();
}

// USER and PASS, each judged. A password from a command is never shown; one
// from the configuration is masked by the log itself.
Login UserAndPass(NetSession& session, const config::Configuration& configuration,
                  const std::string& password, bool secret) {
  net::SendLine(session, "USER " + configuration.POPUSERNAME);
  const net::Reply user_reply = ReadPop3Reply(session);
  if (!IsOk(user_reply)) return Refused(session, configuration, user_reply.last());
  if (secret) {
    net::SendSecretLine(session, "PASS " + password, "PASS [PASSWORD]", net::kMaxPop3CommandLine);
  } else {
    net::SendLine(session, "PASS " + password);
  }
  const net::Reply pass_reply = ReadPop3Reply(session);
  if (!IsOk(pass_reply)) return Refused(session, configuration, pass_reply.last());
  return Login::InAfter(StepResult::Of(session));
}

// A "+ " line: the server waits for the next SASL line (RFC 5034).
bool IsContinuation(const net::Reply& reply) {
  return reply.ok() && (reply.last() == "+" || reply.last().rfind("+ ", 0) == 0);
}

// `may_retry`: a refusal is only logged, for a fresh token to follow.
Login TokenLogin(NetSession& session, const config::Configuration& configuration,
                 const std::string& token, bool may_retry) {
  Pop3Capabilities offered;
  StepResult asked = AskCapabilities(session, offered);
  if (!asked.ok()) return Login::Failed(std::move(asked));
  std::string mechanism = net::ChooseMechanism(offered.sasl, true);
  if (mechanism.empty()) mechanism = "XOAUTH2";
  const std::string& user = configuration.POPUSERNAME;
  const std::string response =
      mechanism == "XOAUTH2"
          ? net::SaslXOAuth2(user, token)
          : net::SaslOAuthBearer(user, token, net::HostPart(session.server_host()), session.port());
  // The initial response only when the whole command fits 255 octets;
  // otherwise it follows the server's continuation.
  const std::string command = "AUTH " + mechanism;
  net::Reply reply;
  if (command.size() + 1 + response.size() <= net::kMaxPop3CommandLine) {
    net::SendSecretLine(session, command + " " + response, command + " [token]",
                        net::kMaxPop3CommandLine);
    reply = ReadPop3Reply(session);
  } else {
    net::SendLine(session, command);
    reply = ReadPop3Reply(session);
    if (IsContinuation(reply)) {
      net::SendSecretLine(session, response, "[token]", net::kMaxSaslLine);
      reply = ReadPop3Reply(session);
    }
  }
  if (IsContinuation(reply)) {
    const std::string why = net::SaslErrorText(reply.last().substr(1));
    if (!why.empty()) LogLine(session, "-- The server's reason: " + why);
    // The server's error report; the answer lets it end with its failure.
    net::SendLine(session, net::SaslErrorAnswer(mechanism));
    reply = ReadPop3Reply(session);
  }
  StepResult exchanged = StepResult::Of(session);
  if (!exchanged.ok()) return Login::Failed(std::move(exchanged));
  if (IsOk(reply)) return Login::In();
  if (IsPacedRefusal(reply.last())) return Refused(session, configuration, reply.last());
  if (may_retry) {
    LogLine(session, "-- Authentication failed (" + reply.last() + ")");
    return Login::Refused();
  }
  return Login::Failed(AbortStep(session, "Authentication failed (" + reply.last() + ")"));
}

Login LogIn(NetSession& session, const config::Configuration& configuration) {
  const bool extended = configuration.POPTLS != TlsMode::None ||
                        !configuration.POPPASSWORDCOMMAND.empty() ||
                        !configuration.POPTOKENCOMMAND.empty() ||
                        oauth::UsesOAuth(configuration, oauth::Account::Pop3);
  if (!extended) {
    (void)ReadPop3Reply(session);
    return UserAndPass(session, configuration, configuration.POPPASSWORD, false);
  }
  if (configuration.POPTLS == TlsMode::Implicit && !net::StartTls(session, configuration.CAFILE))
    return Login::Failed(StepResult::Of(session));
  const net::Reply greeting = ReadPop3Reply(session);
  StepResult greeted = StepResult::Of(session);
  if (!greeted.ok()) return Login::Failed(std::move(greeted));
  if (!IsOk(greeting)) {
    return Login::Failed(
        AbortStep(session, "Server refused the connection (" + greeting.last() + ")"));
  }
  if (configuration.POPTLS == TlsMode::StartTls) {
    net::SendLine(session, "STLS");
    const net::Reply reply = ReadPop3Reply(session);
    StepResult answered = StepResult::Of(session);
    if (!answered.ok()) return Login::Failed(std::move(answered));
    if (!IsOk(reply)) {
      return Login::Failed(AbortStep(session, "Server does not offer STLS (" + reply.last() + ")"));
    }
    if (!net::StartTls(session, configuration.CAFILE)) {
      return Login::Failed(StepResult::Of(session));
    }
  }
  std::optional<net::Credential> credential =
      oauth::ObtainLoginCredential(session, configuration, oauth::Account::Pop3);
  if (!credential) return Login::Failed(StepResult::Of(session));
  const bool oauth = oauth::UsesOAuth(configuration, oauth::Account::Pop3);
  if (credential->is_token) {
    Login first = TokenLogin(session, configuration, credential->secret, oauth);
    if (first.in() || first.failed() || !oauth) return first;
    // A refused access token may have been revoked early: a fresh one, once.
    credential = oauth::ObtainLoginCredential(session, configuration, oauth::Account::Pop3, true);
    if (!credential) return Login::Failed(StepResult::Of(session));
    return TokenLogin(session, configuration, credential->secret, false);
  }
  return UserAndPass(session, configuration, credential->secret, true);
}

}  // namespace

net::LoginResult<Pop3Capabilities> Pop3Login(NetSession& session,
                                             const config::Configuration& configuration) {
  const Login in = LogIn(session, configuration);
  if (!in.in()) return net::LoginResult<Pop3Capabilities>::Like(in, {});
  // Asked once logged in: what a server offers may change with the login.
  Pop3Capabilities capabilities;
  StepResult asked = AskCapabilities(session, capabilities);
  return net::LoginResult<Pop3Capabilities>::InAfter(std::move(asked), capabilities);
}

}  // namespace kestrel::receive
