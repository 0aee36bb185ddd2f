// SPDX-License-Identifier: GPL-2.0-or-later
// The send job over TLS with authentication, against a real SMTP server on
// loopback: what arrives, what stays in the outbound, and that no credential
// ever reaches a pane or the log.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "net/net_session.h"
#include "net/sasl.h"
#include "send/smtp_dialogue.h"
#include "send/smtp_login.h"
#include "support/mail_servers.h"
#include "support/recording_front_end.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

namespace kestrel::send {
namespace {

using config::TlsMode;

constexpr const char* kPassword = "s3cret-Pa55";
constexpr const char* kToken = "ya29.token-for-tests";

class SmtpSecureTest : public ::testing::Test {
 protected:
  SmtpSecureTest() {
    setenv("KESTREL_HOME", home.path().c_str(), 1);
    home.Write("HEADER.TXT", "File $FILENAME$\n");
    configuration.FROM = "Fido Gate";
    configuration.FROMEMAIL = "gate@example.org";
    configuration.NETTIMEOUT = 10;
    configuration.HOST = "127.0.0.1";
    configuration.SMTPUSERNAME = "gate";
    configuration.SMTPPASSWORD = kPassword;
    configuration.SMTPTLS = TlsMode::StartTls;
    configuration.Redirects.Add({"2:236/100.0", "node@example.org", "Node", false});
    content = std::string(5000, 'x') + "\x01\x02 binary";
    file = fido.Write("out/nodelist.zip", content);
    flow = fido.Write("out/00ec0064.flo", "^" + file + "\r\n");
    outbound::SendEntry entry;
    entry.Kind = outbound::SendKind::ListedFile;
    entry.Path = file;
    entry.ListPath = flow;
    entry.RedirectIndex = 1;
    entry.AfterSend = outbound::AfterSendAction::Delete;
    list.Add(entry);
  }
  ~SmtpSecureTest() override { unsetenv("KESTREL_HOME"); }

  void Send(const testing::SmtpServer& server) {
    configuration.SMTPPORT = server.port();
    logger.OpenLog(core::Side::Sending);
    net::NetSession session(core::Side::Sending, send::SmtpEndpoint(configuration), logger);
    net::RunSession(session,
                    [&](net::NetSession& s) { (void)SmtpDialogue(s, list, configuration); });
    logger.CloseLog(core::Side::Sending);
    aborted = session.IsAborted();
  }
  std::string Transcript() const {
    std::string all;
    for (const auto& line : front_end.Lines(core::Side::Sending)) all += line + "\n";
    return all + home.Read("SEND.LOG");
  }
  void ExpectOutboundUntouched() const {
    EXPECT_EQ(fido.Read("out/00ec0064.flo"), "^" + file + "\r\n");
    EXPECT_EQ(fido.Read("out/nodelist.zip"), content);
  }

  testing::RecordingFrontEnd front_end;
  testing::TempDir home;
  testing::TempDir fido;
  core::Logger logger{front_end, home.path()};
  config::Configuration configuration;
  outbound::SendList list;
  std::string content, file, flow;
  bool aborted = false;
};

testing::SmtpServerOptions StartTlsWithLogin() {
  testing::SmtpServerOptions options;
  options.require_starttls = true;
  options.auth_user = "gate";
  options.auth_password = kPassword;
  return options;
}

TEST_F(SmtpSecureTest, StartTlsAndLoginDeliverAndRecordTheFile) {
  testing::SmtpServer server(StartTlsWithLogin());
  ASSERT_TRUE(server.running());
  configuration.CAFILE = server.directory() + "/cert.pem";
  Send(server);
  EXPECT_FALSE(aborted) << Transcript();
  ASSERT_TRUE(server.WaitForMessages(1));
  const auto parts = testing::ParseMimeMessage(server.MessageFiles()[0]);
  ASSERT_TRUE(parts && parts->size() == 2);
  EXPECT_EQ((*parts)[1].content, content);
  EXPECT_EQ(fido.Read("out/00ec0064.flo"), "");
  EXPECT_FALSE(fido.Exists("out/nodelist.zip"));
  // The login only inside TLS, after the second greeting.
  std::vector<std::string> commands = front_end.Commands(core::Side::Sending);
  for (std::string& command : commands) command = command.substr(0, command.find(" SIZE="));
  EXPECT_EQ(commands,
            (std::vector<std::string>{"EHLO [127.0.0.1]", "STARTTLS", "EHLO [127.0.0.1]",
                                      "AUTH PLAIN [credentials]", "MAIL FROM:<gate@example.org>",
                                      "RCPT TO:<node@example.org>", "DATA", "QUIT"}));
  const std::string transcript = Transcript();
  EXPECT_EQ(transcript.find(kPassword), std::string::npos);
  EXPECT_EQ(transcript.find(net::SaslPlain("gate", kPassword)), std::string::npos);
}

TEST_F(SmtpSecureTest, PasswordFromACommandAndTlsFromTheFirstByte) {
  testing::SmtpServerOptions options;
  options.implicit_tls = true;
  options.auth_user = "gate";
  options.auth_password = kPassword;
  testing::SmtpServer server(options);
  ASSERT_TRUE(server.running());
  configuration.SMTPTLS = TlsMode::Implicit;
  configuration.CAFILE = server.directory() + "/cert.pem";
  configuration.SMTPPASSWORD.clear();
  configuration.SMTPPASSWORDCOMMAND = std::string("echo ") + kPassword;
  Send(server);
  EXPECT_FALSE(aborted) << Transcript();
  EXPECT_TRUE(server.WaitForMessages(1));
  EXPECT_EQ(Transcript().find(kPassword), std::string::npos);
}

TEST_F(SmtpSecureTest, BearerTokenFromACommandUsesXOAuth2) {
  testing::SmtpServerOptions options;
  options.require_starttls = true;
  options.xoauth2_user = "gate";
  options.xoauth2_token = kToken;
  testing::SmtpServer server(options);
  ASSERT_TRUE(server.running());
  configuration.CAFILE = server.directory() + "/cert.pem";
  configuration.SMTPPASSWORD.clear();
  configuration.SMTPTOKENCOMMAND = std::string("printf '%s\\n' ") + kToken;
  Send(server);
  EXPECT_FALSE(aborted) << Transcript();
  EXPECT_TRUE(server.WaitForMessages(1));
  EXPECT_NE(Transcript().find("-> AUTH XOAUTH2 [token]"), std::string::npos);
  EXPECT_EQ(Transcript().find(kToken), std::string::npos);
}

TEST_F(SmtpSecureTest, WrongPasswordSendsNothing) {
  testing::SmtpServer server(StartTlsWithLogin());
  ASSERT_TRUE(server.running());
  configuration.CAFILE = server.directory() + "/cert.pem";
  configuration.SMTPPASSWORD = "wrong";
  Send(server);
  EXPECT_TRUE(aborted);
  EXPECT_TRUE(front_end.HasLineStartingWith(core::Side::Sending, "-- Authentication failed (535"));
  EXPECT_EQ(Transcript().find("-> MAIL FROM"), std::string::npos);
  EXPECT_TRUE(server.Messages().empty());
  ExpectOutboundUntouched();
}

TEST_F(SmtpSecureTest, UntrustedCertificateIsRefused) {
  testing::SmtpServer server(StartTlsWithLogin());
  ASSERT_TRUE(server.running());
  Send(server);  // no CA file: the self-signed certificate does not verify
  EXPECT_TRUE(aborted);
  EXPECT_TRUE(
      front_end.HasLineStartingWith(core::Side::Sending, "-- TLS failed: certificate not trusted"));
  EXPECT_EQ(Transcript().find("-> AUTH"), std::string::npos);
  EXPECT_TRUE(server.Messages().empty());
  ExpectOutboundUntouched();
}

TEST_F(SmtpSecureTest, MissingStartTlsIsNeverAPlainTextFallback) {
  testing::SmtpServer server;  // offers no STARTTLS
  ASSERT_TRUE(server.running());
  Send(server);
  EXPECT_TRUE(aborted);
  EXPECT_TRUE(
      front_end.HasLine(core::Side::Sending, "-- Server does not offer STARTTLS, aborting"));
  const std::string transcript = Transcript();
  EXPECT_EQ(transcript.find("-> AUTH"), std::string::npos);
  EXPECT_EQ(transcript.find("-> MAIL FROM"), std::string::npos);
  EXPECT_TRUE(server.Messages().empty());
  ExpectOutboundUntouched();
}

// A bearer token of `length` characters, as providers issue them.
std::string TokenOf(std::size_t length) {
  std::string token = "ya29.";
  while (token.size() < length) token += static_cast<char>('a' + token.size() % 26);
  return token;
}

// The exact lines that reach a scripted server after EHLO, for tokens of the
// length large providers issue: the initial response up to RFC 4954's limit,
// beyond it the response after 334, beyond that nothing; error challenges
// answered as each mechanism wants.
TEST_F(SmtpSecureTest, TokensOfProviderLengthAndErrorChallenges) {
  using testing::ScriptedPeer;
  constexpr const char* kChallenge = "334 eyJzdGF0dXMiOiI0MDEifQ==";
  struct Case {
    const char* offered;
    std::size_t token_length;
    std::vector<std::string> replies;  // one per line the client sends after EHLO
    bool initial;                      // the response goes in the AUTH command
    const char* error_answer;          // sent after an error challenge; null: none
    bool ok;
  } cases[] = {
      {"XOAUTH2", 2000, {"235 ok"}, true, nullptr, true},
      {"XOAUTH2 OAUTHBEARER", 4000, {"235 ok"}, true, nullptr, true},
      {"XOAUTH2", 9189, {"334 ", "235 ok"}, false, nullptr, true},
      {"XOAUTH2", 4000, {kChallenge, "535 5.7.8 bad token"}, true, "", false},
      {"OAUTHBEARER", 2000, {kChallenge, "535 5.7.8 bad token"}, true, "AQ==", false},
      {"XOAUTH2", 9300, {"334 "}, false, nullptr, false},
  };
  configuration.SMTPTLS = TlsMode::None;
  configuration.SMTPPASSWORD.clear();
  for (const Case& c : cases) {
    const std::string token = TokenOf(c.token_length);
    std::vector<ScriptedPeer::Step> script = {
        ScriptedPeer::Send("220 hi\r\n"), ScriptedPeer::ReadLine(),
        ScriptedPeer::Send("250-test\r\n250 AUTH " + std::string(c.offered) + "\r\n")};
    for (const std::string& reply : c.replies) {
      script.push_back(ScriptedPeer::ReadLine());
      script.push_back(ScriptedPeer::Send(reply + "\r\n"));
    }
    ScriptedPeer peer(script);
    configuration.HOST = "127.0.0.1";
    configuration.SMTPPORT = peer.port();
    configuration.SMTPTOKENCOMMAND = "printf '%s\\n' " + token;
    front_end.ClearPane(core::Side::Sending);
    net::NetSession session(core::Side::Sending, SmtpEndpoint(configuration), logger);
    net::RunSession(session,
                    [&](net::NetSession& s) { (void)OpenSmtpConversation(s, configuration); });
    peer.Join();

    const bool bearer = std::string(c.offered).find("OAUTHBEARER") != std::string::npos;
    const std::string mechanism = bearer ? "OAUTHBEARER" : "XOAUTH2";
    const std::string response = bearer
                                     ? net::SaslOAuthBearer("gate", token, "127.0.0.1", peer.port())
                                     : net::SaslXOAuth2("gate", token);
    std::string expected =
        c.initial ? "AUTH " + mechanism + " " + response + "\r\n" : "AUTH " + mechanism + "\r\n";
    if (!c.initial && response.size() <= net::kMaxSaslLine) expected += response + "\r\n";
    if (c.error_answer) expected += std::string(c.error_answer) + "\r\n";
    const std::string received = peer.Received();
    EXPECT_EQ(received.substr(received.find("\r\n") + 2), expected) << c.token_length;
    EXPECT_EQ(session.IsAborted(), !c.ok) << c.token_length;
    EXPECT_EQ(front_end.HasLine(core::Side::Sending, R"(-- The server's reason: {"status":"401"})"),
              c.error_answer != nullptr);
    EXPECT_EQ(Transcript().find(token), std::string::npos);
  }
  EXPECT_TRUE(front_end.HasLine(core::Side::Sending,
                                "-- Command of 12432 characters is longer than the server "
                                "accepts (12286), aborting"));
}

}  // namespace
}  // namespace kestrel::send
