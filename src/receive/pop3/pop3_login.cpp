// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/pop3/pop3_login.h"

#include <string>

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
using net::AbortWith;
using net::NetSession;

// A CAPA answer longer than this is not a capability list.
constexpr std::size_t kMaxCapabilityLines = 100;

// CAPA and its answer; nothing offered when the server refuses it.
Pop3Capabilities Capabilities(NetSession& session) {
  net::SendLine(session, "CAPA");
  if (!IsOk(ReadPop3Reply(session))) return {};
  Pop3Capabilities capabilities;
  for (const std::string& line :
       net::ReadDotList(session, kMaxCapabilityLines, net::Echo::Logged, net::kReplyBounds).lines) {
    const std::string upper = mime::UpperCase(line);
    if (upper.rfind("SASL ", 0) == 0) capabilities.sasl = upper.substr(5);
    if (upper == "PIPELINING") capabilities.pipelining = true;
    if (upper.rfind("LOGIN-DELAY ", 0) == 0) {
      capabilities.login_delay_seconds = core::TextToInt(upper.substr(12));
    }
  }
  return capabilities;
}

// A refused login: a pause the server asks for, or a refusal proper.
bool Refused(NetSession& session, const config::Configuration& configuration,
             const std::string& reply) {
  if (!IsPacedRefusal(reply)) return net::LoginRefused(session, reply);
  NotePacedRefusal(session, configuration, reply);
  return false;
}

// USER and PASS, each judged. A password from a command is never shown; one
// from the configuration is masked by the log itself.
bool UserAndPass(NetSession& session, const config::Configuration& configuration,
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
  return !session.IsAborted();
}

// A "+ " line: the server waits for the next SASL line (RFC 5034).
bool IsContinuation(const net::Reply& reply) {
  return reply.ok() && (reply.last() == "+" || reply.last().rfind("+ ", 0) == 0);
}

// `may_retry`: a refusal is only logged, for a fresh token to follow.
bool TokenLogin(NetSession& session, const config::Configuration& configuration,
                const std::string& token, bool may_retry) {
  std::string mechanism = net::ChooseMechanism(Capabilities(session).sasl, true);
  if (session.IsAborted()) return false;
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
  if (session.IsAborted()) return false;
  if (IsOk(reply)) return true;
  if (IsPacedRefusal(reply.last())) return Refused(session, configuration, reply.last());
  if (may_retry) {
    LogLine(session, "-- Authentication failed (" + reply.last() + ")");
    return false;
  }
  return AbortWith(session, "Authentication failed (" + reply.last() + ")");
}

bool LogIn(NetSession& session, const config::Configuration& configuration) {
  const bool extended = configuration.POPTLS != TlsMode::None ||
                        !configuration.POPPASSWORDCOMMAND.empty() ||
                        !configuration.POPTOKENCOMMAND.empty() ||
                        oauth::UsesOAuth(configuration, oauth::Account::Pop3);
  if (!extended) {
    (void)ReadPop3Reply(session);
    return UserAndPass(session, configuration, configuration.POPPASSWORD, false);
  }
  if (configuration.POPTLS == TlsMode::Implicit && !net::StartTls(session, configuration.CAFILE))
    return false;
  const net::Reply greeting = ReadPop3Reply(session);
  if (session.IsAborted()) return false;
  if (!IsOk(greeting)) {
    return AbortWith(session, "Server refused the connection (" + greeting.last() + ")");
  }
  if (configuration.POPTLS == TlsMode::StartTls) {
    net::SendLine(session, "STLS");
    const net::Reply reply = ReadPop3Reply(session);
    if (session.IsAborted()) return false;
    if (!IsOk(reply))
      return AbortWith(session, "Server does not offer STLS (" + reply.last() + ")");
    if (!net::StartTls(session, configuration.CAFILE)) return false;
  }
  std::optional<net::Credential> credential =
      oauth::ObtainLoginCredential(session, configuration, oauth::Account::Pop3);
  if (!credential) return false;
  const bool oauth = oauth::UsesOAuth(configuration, oauth::Account::Pop3);
  if (credential->is_token) {
    if (TokenLogin(session, configuration, credential->secret, oauth)) return true;
    if (!oauth || session.IsAborted()) return false;
    // A refused access token may have been revoked early: a fresh one, once.
    credential = oauth::ObtainLoginCredential(session, configuration, oauth::Account::Pop3, true);
    return credential && TokenLogin(session, configuration, credential->secret, false);
  }
  return UserAndPass(session, configuration, credential->secret, true);
}

}  // namespace

std::optional<Pop3Capabilities> Pop3Login(NetSession& session,
                                          const config::Configuration& configuration) {
  if (!LogIn(session, configuration)) return std::nullopt;
  // Asked once logged in: what a server offers may change with the login.
  const Pop3Capabilities capabilities = Capabilities(session);
  if (session.IsAborted()) return std::nullopt;
  return capabilities;
}

}  // namespace kestrel::receive
