// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/smtp_login.h"

#include <string>
#include <vector>

#include "core/text_utils.h"
#include "mime/ascii_text.h"
#include "mime/base64.h"
#include "net/greeting_name.h"
#include "net/host_part.h"
#include "net/sasl.h"
#include "net/secret_line.h"
#include "net/session_failure.h"
#include "net/start_tls.h"
#include "oauth/login_credential.h"
#include "send/smtp_reply.h"

namespace kestrel::send {

namespace {

using config::TlsMode;
using net::AbortWith;
using net::NetSession;

// A stated limit longer than this is no limit we could ever reach.
constexpr std::size_t kMaxSizeDigits = 18;

// EHLO and the server's extensions, upper-cased, without their reply codes.
// A server that does not know EHLO (500, 502) is greeted with HELO instead
// when `may_fall_back`; then it offers none.
std::vector<std::string> Ehlo(NetSession& session, const std::string& name, bool may_fall_back) {
  net::SendLine(session, "EHLO " + name);
  std::vector<std::string> extensions;
  const net::Reply reply = ReadSmtpReply(session);
  if (session.IsAborted()) return extensions;
  if (may_fall_back && (HasCode(reply, 500) || HasCode(reply, 502))) {
    net::SendLine(session, "HELO " + name);
    (void)ReadSmtpReply(session);
    return extensions;
  }
  if (!HasCode(reply, 250)) {
    AbortWith(session, "EHLO refused (" + reply.last() + ")");
    return extensions;
  }
  for (std::size_t i = 1; i < reply.lines.size(); ++i) {
    const std::string& line = reply.lines[i];
    if (line.size() > 4) extensions.push_back(mime::UpperCase(line.substr(4)));
  }
  return extensions;
}

const std::string* Extension(const std::vector<std::string>& extensions, std::string_view name) {
  for (const std::string& extension : extensions) {
    if (extension.rfind(name, 0) == 0 &&
        (extension.size() == name.size() || extension[name.size()] == ' ' ||
         extension[name.size()] == '='))
      return &extension;
  }
  return nullptr;
}

// The reason a provider gives in its error challenge, for the log.
void LogReason(NetSession& session, std::string_view challenge) {
  const std::string why = net::SaslErrorText(challenge);
  if (!why.empty()) net::LogLine(session, "-- The server's reason: " + why);
}

// Sends one line of an AUTH exchange that carries a credential and reads the
// answer.
net::Reply AuthStep(NetSession& session, const std::string& line, const std::string& shown) {
  net::SendSecretLine(session, line, shown, net::kMaxSaslLine);
  return ReadSmtpReply(session);
}

// AUTH with its initial response when the command fits RFC 4954's line
// limit; otherwise the bare command, and the response after the server's 334.
net::Reply StartAuth(NetSession& session, const std::string& mechanism, const std::string& response,
                     const std::string& shown) {
  const std::string command = "AUTH " + mechanism;
  if (command.size() + 1 + response.size() <= net::kMaxSaslLine) {
    return AuthStep(session, command + " " + response, command + " " + shown);
  }
  net::SendLine(session, command);
  const net::Reply reply = ReadSmtpReply(session);
  if (!HasCode(reply, 334)) return reply;
  return AuthStep(session, response, shown);
}

std::string InitialResponse(const NetSession& session, const std::string& mechanism,
                            const std::string& user, const std::string& secret) {
  if (mechanism == "PLAIN") return net::SaslPlain(user, secret);
  if (mechanism == "XOAUTH2") return net::SaslXOAuth2(user, secret);
  return net::SaslOAuthBearer(user, secret, net::HostPart(session.server_host()), session.port());
}

// One AUTH exchange with `credential`; the server's last reply.
net::Reply SendAuth(NetSession& session, const std::string& user, const std::string& mechanism,
                    const net::Credential& credential) {
  const std::string& secret = credential.secret;
  net::Reply reply;
  if (mechanism == "LOGIN") {
    net::SendLine(session, "AUTH LOGIN");
    reply = ReadSmtpReply(session);
    if (HasCode(reply, 334)) reply = AuthStep(session, mime::EncodeBase64(user), "[user name]");
    if (HasCode(reply, 334)) reply = AuthStep(session, mime::EncodeBase64(secret), "[password]");
  } else {
    reply = StartAuth(session, mechanism, InitialResponse(session, mechanism, user, secret),
                      mechanism == "PLAIN" ? "[credentials]" : "[token]");
    if (credential.is_token && HasCode(reply, 334)) {
      LogReason(session, reply.last().size() > 4 ? reply.last().substr(4) : std::string());
      // The server's error report; the answer lets it end with its failure.
      net::SendLine(session, net::SaslErrorAnswer(mechanism));
      reply = ReadSmtpReply(session);
    }
  }
  return reply;
}

void Authenticate(NetSession& session, const config::Configuration& configuration,
                  const std::vector<std::string>& extensions) {
  std::optional<net::Credential> credential =
      oauth::ObtainLoginCredential(session, configuration, oauth::Account::Smtp);
  if (!credential) return;
  const std::string* offered = Extension(extensions, "AUTH");
  const std::string mechanism =
      offered ? net::ChooseMechanism(offered->substr(4), credential->is_token) : std::string();
  if (mechanism.empty()) {
    AbortWith(session, "Server offers no usable AUTH mechanism");
    return;
  }
  const std::string& user = configuration.SMTPUSERNAME;
  net::Reply reply = SendAuth(session, user, mechanism, *credential);
  // A refused access token may have been revoked early: a fresh one, once.
  if (!session.IsAborted() && !HasCode(reply, 235) &&
      oauth::UsesOAuth(configuration, oauth::Account::Smtp)) {
    credential = oauth::ObtainLoginCredential(session, configuration, oauth::Account::Smtp, true);
    if (!credential) return;
    reply = SendAuth(session, user, mechanism, *credential);
  }
  if (!session.IsAborted() && !HasCode(reply, 235)) {
    AbortWith(session, "Authentication failed (" + reply.last() + ")");
  }
}

// "SIZE" with its optional limit (RFC 1870 4); a limit that is no number
// counts as none stated.
SizeOffer SizeOf(const std::vector<std::string>& extensions) {
  SizeOffer offer;
  const std::string* size = Extension(extensions, "SIZE");
  if (!size) return offer;
  offer.announced = true;
  const std::string limit = core::TrimLeadingBlanks(size->substr(4));
  if (!limit.empty() && limit.size() <= kMaxSizeDigits &&
      limit.find_first_not_of("0123456789") == std::string::npos) {
    offer.limit = std::stoull(limit);
  }
  return offer;
}

}  // namespace

bool NeedsExtendedSmtp(const config::Configuration& configuration) {
  return configuration.SMTPTLS != TlsMode::None || !configuration.SMTPUSERNAME.empty() ||
         !configuration.SMTPTOKENCOMMAND.empty();
}

ServerOffer OpenSmtpConversation(NetSession& session, const config::Configuration& configuration) {
  const bool extended = NeedsExtendedSmtp(configuration);
  if (configuration.SMTPTLS == TlsMode::Implicit && !net::StartTls(session, configuration.CAFILE))
    return {};
  const net::Reply greeting = ReadSmtpReply(session);
  if (session.IsAborted()) return {};
  if (extended && !HasCode(greeting, 220)) {
    AbortWith(session, "Server refused the connection (" + greeting.last() + ")");
    return {};
  }
  const std::string name = net::GreetingName(session, configuration.HELONAME);
  std::vector<std::string> extensions = Ehlo(session, name, !extended);
  if (session.IsAborted()) return {};
  if (configuration.SMTPTLS == TlsMode::StartTls) {
    if (!Extension(extensions, "STARTTLS")) {
      AbortWith(session, "Server does not offer STARTTLS");
      return {};
    }
    net::SendLine(session, "STARTTLS");
    const net::Reply reply = ReadSmtpReply(session);
    if (session.IsAborted()) return {};
    if (!HasCode(reply, 220)) {
      AbortWith(session, "STARTTLS refused (" + reply.last() + ")");
      return {};
    }
    if (!net::StartTls(session, configuration.CAFILE)) return {};
    extensions = Ehlo(session, name, false);
    if (session.IsAborted()) return {};
  }
  if (!configuration.SMTPUSERNAME.empty() || !configuration.SMTPTOKENCOMMAND.empty()) {
    Authenticate(session, configuration, extensions);
  }
  return {SizeOf(extensions), Extension(extensions, "PIPELINING") != nullptr,
          Extension(extensions, "CHUNKING") != nullptr};
}

}  // namespace kestrel::send
