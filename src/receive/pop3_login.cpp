#include "receive/pop3_login.h"

#include <string>

#include "core/log.h"
#include "core/text_utils.h"
#include "net/credentials.h"
#include "net/sasl.h"
#include "net/secret_line.h"
#include "net/start_tls.h"

namespace kestrel::receive {

namespace {

using config::TlsMode;
using net::NetSession;

// A CAPA answer longer than this is not a capability list.
constexpr int kMaxCapabilityLines = 100;

bool IsOk(const std::string& reply) {
  return reply.rfind("+OK", 0) == 0;
}

std::string ReadAndLog(NetSession& session) {
  std::string reply = net::ReadLine(session);
  net::LogLine(session, "<- " + reply);
  return reply;
}

bool Fail(NetSession& session, const std::string& why) {
  net::LogLine(session, ("-- " + why + ", aborting").substr(0, core::kMaxLogLine));
  session.Abort();
  return false;
}

// The SASL mechanisms of a CAPA answer; empty when the server lists none.
std::string SaslMechanisms(NetSession& session) {
  net::SendLine(session, "CAPA");
  if (!IsOk(ReadAndLog(session))) return {};
  std::string mechanisms;
  for (int i = 0; i < kMaxCapabilityLines && !session.IsAborted(); ++i) {
    const std::string line = ReadAndLog(session);
    if (line == "." || session.Closed) break;
    const std::string upper = core::UpperCase(line);
    if (upper.rfind("SASL ", 0) == 0) mechanisms = upper.substr(5);
  }
  return mechanisms;
}

bool TokenLogin(NetSession& session, const config::Configuration& configuration,
                const std::string& token) {
  std::string mechanism = net::ChooseMechanism(SaslMechanisms(session), true);
  if (session.IsAborted()) return false;
  if (mechanism.empty()) mechanism = "XOAUTH2";
  const std::string& user = configuration.POPUSERNAME;
  const std::string response =
      mechanism == "XOAUTH2"
          ? net::SaslXOAuth2(user, token)
          : net::SaslOAuthBearer(user, token,
                                 session.ServerHost.substr(0, session.ServerHost.find(':')),
                                 session.Port);
  net::SendSecretLine(session, "AUTH " + mechanism + " " + response,
                      "AUTH " + mechanism + " [token]");
  std::string reply = ReadAndLog(session);
  if (reply.rfind("+ ", 0) == 0 || reply == "+") {
    // The server's error report; an empty answer ends the exchange.
    net::SendLine(session, "");
    reply = ReadAndLog(session);
  }
  if (session.IsAborted()) return false;
  if (!IsOk(reply)) return Fail(session, "Authentication failed (" + reply + ")");
  return true;
}

}  // namespace

bool Pop3Login(NetSession& session, const config::Configuration& configuration) {
  const bool extended = configuration.POPTLS != TlsMode::None ||
                        !configuration.POPPASSWORDCOMMAND.empty() ||
                        !configuration.POPTOKENCOMMAND.empty();
  if (!extended) {
    ReadAndLog(session);
    net::SendLine(session, "USER " + configuration.POPUSERNAME);
    ReadAndLog(session);
    net::SendLine(session, "PASS " + configuration.POPPASSWORD);
    ReadAndLog(session);
    return !session.IsAborted();
  }
  if (configuration.POPTLS == TlsMode::Implicit && !net::StartTls(session, configuration.CAFILE))
    return false;
  const std::string greeting = ReadAndLog(session);
  if (session.IsAborted()) return false;
  if (!IsOk(greeting)) return Fail(session, "Server refused the connection (" + greeting + ")");
  if (configuration.POPTLS == TlsMode::StartTls) {
    net::SendLine(session, "STLS");
    const std::string reply = ReadAndLog(session);
    if (session.IsAborted()) return false;
    if (!IsOk(reply)) return Fail(session, "Server does not offer STLS (" + reply + ")");
    if (!net::StartTls(session, configuration.CAFILE)) return false;
  }
  const std::optional<net::Credential> credential =
      net::ObtainCredential(session, configuration.POPPASSWORD, configuration.POPPASSWORDCOMMAND,
                            configuration.POPTOKENCOMMAND);
  if (!credential) return false;
  if (credential->is_token) return TokenLogin(session, configuration, credential->secret);
  net::SendLine(session, "USER " + configuration.POPUSERNAME);
  ReadAndLog(session);
  net::SendSecretLine(session, "PASS " + credential->secret, "PASS [PASSWORD]");
  ReadAndLog(session);
  return !session.IsAborted();
}

}  // namespace kestrel::receive
