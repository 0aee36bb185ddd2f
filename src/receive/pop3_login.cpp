#include "receive/pop3_login.h"

#include <string>

#include "core/log.h"
#include "core/text_utils.h"
#include "net/credentials.h"
#include "net/sasl.h"
#include "net/secret_line.h"
#include "net/start_tls.h"
#include "receive/pop3_reply.h"

namespace kestrel::receive {

namespace {

using config::TlsMode;
using net::NetSession;

// A CAPA answer longer than this is not a capability list.
constexpr std::size_t kMaxCapabilityLines = 100;

bool Fail(NetSession& session, const std::string& why) {
  net::LogLine(session, ("-- " + why + ", aborting").substr(0, core::kMaxLogLine));
  session.Abort();
  return false;
}

// The SASL mechanisms of a CAPA answer; empty when the server lists none.
std::string SaslMechanisms(NetSession& session) {
  net::SendLine(session, "CAPA");
  if (!IsOk(ReadPop3Reply(session))) return {};
  std::string mechanisms;
  for (const std::string& line :
       net::ReadDotList(session, kMaxCapabilityLines, net::Echo::Logged).lines) {
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
  net::Reply reply = ReadPop3Reply(session);
  if (reply.last().rfind("+ ", 0) == 0 || reply.last() == "+") {
    // The server's error report; an empty answer ends the exchange.
    net::SendLine(session, "");
    reply = ReadPop3Reply(session);
  }
  if (session.IsAborted()) return false;
  if (!IsOk(reply)) return Fail(session, "Authentication failed (" + reply.last() + ")");
  return true;
}

}  // namespace

bool Pop3Login(NetSession& session, const config::Configuration& configuration) {
  const bool extended = configuration.POPTLS != TlsMode::None ||
                        !configuration.POPPASSWORDCOMMAND.empty() ||
                        !configuration.POPTOKENCOMMAND.empty();
  if (!extended) {
    (void)ReadPop3Reply(session);
    net::SendLine(session, "USER " + configuration.POPUSERNAME);
    (void)ReadPop3Reply(session);
    net::SendLine(session, "PASS " + configuration.POPPASSWORD);
    (void)ReadPop3Reply(session);
    return !session.IsAborted();
  }
  if (configuration.POPTLS == TlsMode::Implicit && !net::StartTls(session, configuration.CAFILE))
    return false;
  const net::Reply greeting = ReadPop3Reply(session);
  if (session.IsAborted()) return false;
  if (!IsOk(greeting)) {
    return Fail(session, "Server refused the connection (" + greeting.last() + ")");
  }
  if (configuration.POPTLS == TlsMode::StartTls) {
    net::SendLine(session, "STLS");
    const net::Reply reply = ReadPop3Reply(session);
    if (session.IsAborted()) return false;
    if (!IsOk(reply)) return Fail(session, "Server does not offer STLS (" + reply.last() + ")");
    if (!net::StartTls(session, configuration.CAFILE)) return false;
  }
  const std::optional<net::Credential> credential =
      net::ObtainCredential(session, configuration.POPPASSWORD, configuration.POPPASSWORDCOMMAND,
                            configuration.POPTOKENCOMMAND);
  if (!credential) return false;
  if (credential->is_token) return TokenLogin(session, configuration, credential->secret);
  net::SendLine(session, "USER " + configuration.POPUSERNAME);
  (void)ReadPop3Reply(session);
  net::SendSecretLine(session, "PASS " + credential->secret, "PASS [PASSWORD]");
  (void)ReadPop3Reply(session);
  return !session.IsAborted();
}

}  // namespace kestrel::receive
