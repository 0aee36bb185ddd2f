// SPDX-License-Identifier: GPL-2.0-or-later
// The get job over TLS (dovecot, from the first byte and after STLS) and with
// a bearer token (a scripted peer): what arrives, what stays on the server,
// and that no credential reaches a pane or the log.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/log.h"
#include "mime/base64.h"
#include "net/net_session.h"
#include "net/sasl.h"
#include "receive/mime_samples.h"
#include "receive/pop3/pop3_dialogue.h"
#include "support/mail_servers.h"
#include "support/program_home_at.h"
#include "support/recording_front_end.h"
#include "support/scripted_pop3.h"
#include "support/temp_dir.h"

namespace kestrel::receive {
namespace {

using config::TlsMode;
using core::Side;

class Pop3SecureTest : public ::testing::Test {
 protected:
  Pop3SecureTest() {
    configuration.POPSERVER = "127.0.0.1";
    configuration.NETTIMEOUT = 10;
    configuration.INBOUND = dir.MakeDir("IN") + "/";
    configuration.SAVEEMAIL = dir.MakeDir("SAVE") + "/";
    configuration.Filters.AcceptAll = true;
    sample.content = testing::RandomBytes(3000, 7);
  }

  void Use(const testing::Pop3Server& server) {
    configuration.POPPORT = server.port();
    configuration.POPUSERNAME = server.user();
    configuration.POPPASSWORD = server.password();
    configuration.CAFILE = server.directory() + "/cert.pem";
  }
  bool Run() {
    logger.OpenLog(Side::Receiving);
    net::NetSession session(Side::Receiving, receive::Pop3Endpoint(configuration), logger);
    net::RunSession(session, [&](net::NetSession& s) { RunPop3Dialogue(s, configuration); });
    logger.CloseLog(Side::Receiving);
    return !session.IsAborted();
  }
  std::string Transcript() const {
    std::string all;
    for (const auto& line : front_end.Lines(Side::Receiving)) all += line + "\n";
    return all + dir.Read("RECEIVE.LOG");
  }
  bool Arrived() const { return dir.Read("IN/FILE.ZIP") == sample.content; }
  bool InboundEmpty() const { return std::filesystem::is_empty(configuration.INBOUND); }

  testing::TempDir dir;
  testing::ProgramHomeAt home{dir.path()};
  testing::RecordingFrontEnd front_end;
  core::Logger logger{front_end, dir.path()};
  config::Configuration configuration;
  testing::SampleMessage sample;
};

TEST_F(Pop3SecureTest, ImplicitTlsTakesTheMessage) {
  testing::Pop3Server server({.implicit_tls = true});
  ASSERT_TRUE(server.running()) << server.ServerLog();
  server.AddMessage(testing::JoinCrLf(testing::SenderMessageLines(sample)));
  Use(server);
  configuration.POPTLS = TlsMode::Implicit;
  configuration.POPPASSWORD.clear();
  configuration.POPPASSWORDCOMMAND = "echo " + server.password();
  EXPECT_TRUE(Run()) << Transcript();
  EXPECT_TRUE(Arrived());
  EXPECT_TRUE(server.RemainingMessages().empty());
  EXPECT_EQ(Transcript().find(" " + server.password()), std::string::npos);
}

TEST_F(Pop3SecureTest, StlsTakesTheMessage) {
  testing::Pop3Server server({.offer_stls = true});
  ASSERT_TRUE(server.running()) << server.ServerLog();
  server.AddMessage(testing::JoinCrLf(testing::SenderMessageLines(sample)));
  Use(server);
  configuration.POPTLS = TlsMode::StartTls;
  EXPECT_TRUE(Run()) << Transcript();
  EXPECT_TRUE(Arrived());
  EXPECT_TRUE(front_end.HasLine(Side::Receiving, "-> STLS"));
  EXPECT_TRUE(front_end.HasLine(Side::Receiving, "-> PASS [PASSWORD]"));
  EXPECT_EQ(Transcript().find(" " + server.password()), std::string::npos);
}

TEST_F(Pop3SecureTest, WrongPasswordOverTlsLeavesTheMailbox) {
  testing::Pop3Server server({.implicit_tls = true});
  ASSERT_TRUE(server.running()) << server.ServerLog();
  server.AddMessage(testing::JoinCrLf(testing::SenderMessageLines(sample)));
  Use(server);
  configuration.POPTLS = TlsMode::Implicit;
  configuration.POPPASSWORD = "wrong";
  EXPECT_TRUE(Run());
  EXPECT_TRUE(front_end.HasLineStartingWith(Side::Receiving, "-- Login refused: -ERR"));
  EXPECT_EQ(server.RemainingMessages().size(), 1u);
  EXPECT_TRUE(InboundEmpty());
}

TEST_F(Pop3SecureTest, UntrustedCertificateAndMissingStlsSendNoLogin) {
  {
    testing::Pop3Server server({.implicit_tls = true});
    ASSERT_TRUE(server.running()) << server.ServerLog();
    server.AddMessage(testing::JoinCrLf(testing::SenderMessageLines(sample)));
    Use(server);
    configuration.CAFILE.clear();
    configuration.POPTLS = TlsMode::Implicit;
    EXPECT_FALSE(Run());
    EXPECT_TRUE(
        front_end.HasLineStartingWith(Side::Receiving, "-- TLS failed: certificate not trusted"));
    EXPECT_EQ(server.RemainingMessages().size(), 1u);
  }
  {
    testing::Pop3Server server;  // no TLS at all
    ASSERT_TRUE(server.running()) << server.ServerLog();
    Use(server);
    configuration.POPTLS = TlsMode::StartTls;
    EXPECT_FALSE(Run());
    EXPECT_TRUE(front_end.HasLineStartingWith(Side::Receiving, "-- Server does not offer STLS"));
  }
  EXPECT_EQ(Transcript().find("-> USER"), std::string::npos);
  EXPECT_EQ(Transcript().find("-> PASS"), std::string::npos);
}

TEST_F(Pop3SecureTest, BearerTokenLogsInWithXOAuth2) {
  const std::string token = "ya29.pop-token";
  // BASE64 of "user=fido\x01auth=Bearer ya29.pop-token\x01\x01", written out.
  const std::string expected = "AUTH XOAUTH2 dXNlcj1maWRvAWF1dGg9QmVhcmVyIHlhMjkucG9wLXRva2VuAQE=";
  testing::ScriptedPop3 peer([&](const std::string& command) -> testing::ScriptedPop3::Answer {
    if (command == "CAPA") return {"+OK\r\nUSER\r\nSASL PLAIN XOAUTH2\r\n.\r\n"};
    if (command == expected) return {"+OK welcome\r\n"};
    if (command.rfind("AUTH", 0) == 0) return {"-ERR bad token\r\n"};
    if (command == "STAT") return {"+OK 0 0\r\n"};
    return {"+OK\r\n"};
  });
  configuration.POPPORT = peer.port();
  configuration.POPUSERNAME = "fido";
  configuration.POPTOKENCOMMAND = "echo " + token;
  EXPECT_TRUE(Run()) << Transcript();
  const auto commands = peer.Commands();
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(commands[1], expected);
  EXPECT_TRUE(front_end.HasLine(Side::Receiving, "-> AUTH XOAUTH2 [token]"));
  EXPECT_EQ(Transcript().find(token), std::string::npos);

  configuration.POPTOKENCOMMAND = "exit 1";
  front_end.ClearPane(Side::Receiving);
  testing::ScriptedPop3 second(
      [](const std::string&) -> testing::ScriptedPop3::Answer { return {"+OK\r\n"}; });
  configuration.POPPORT = second.port();
  EXPECT_FALSE(Run());
  EXPECT_TRUE(
      front_end.HasLine(Side::Receiving, "-- Token command failed: the command failed, aborting"));
  for (const auto& command : second.Commands()) EXPECT_NE(command.rfind("AUTH", 0), 0u);
}

// The exact commands a scripted server receives for tokens of the length
// large providers issue: beyond 255 octets the response follows the "+ "
// continuation; an error challenge is answered as each mechanism wants; a
// response beyond any limit is refused, not cut.
TEST_F(Pop3SecureTest, TokensOfProviderLengthAndErrorChallenges) {
  struct Case {
    const char* offered;
    std::size_t token_length;
    bool accepted;             // the server takes the token
    const char* error_answer;  // after the error challenge of a refused token
    bool ok;
  } cases[] = {
      {"XOAUTH2", 2000, true, nullptr, true},  {"XOAUTH2 OAUTHBEARER", 4000, true, nullptr, true},
      {"XOAUTH2", 2000, false, "", false},     {"OAUTHBEARER", 4000, false, "AQ==", false},
      {"XOAUTH2", 9300, true, nullptr, false},
  };
  configuration.POPUSERNAME = "fido";
  for (const Case& c : cases) {
    std::string token = "ya29.";
    while (token.size() < c.token_length) token += static_cast<char>('a' + token.size() % 26);
    std::string response;  // known once the port is
    testing::ScriptedPop3 peer([&](const std::string& command) -> testing::ScriptedPop3::Answer {
      if (command == "CAPA") return {"+OK\r\nSASL " + std::string(c.offered) + "\r\n.\r\n"};
      if (command.rfind("AUTH ", 0) == 0) return {"+ \r\n"};
      if (command == response)
        return {c.accepted ? "+OK welcome\r\n" : "+ eyJzdGF0dXMiOiI0MDEifQ==\r\n"};
      if (command == "STAT") return {"+OK 0 0\r\n"};
      if (command == "QUIT") return {"+OK\r\n"};
      return {"-ERR bad token\r\n"};
    });
    const bool bearer = std::string(c.offered).find("OAUTHBEARER") != std::string::npos;
    const std::string mechanism = bearer ? "OAUTHBEARER" : "XOAUTH2";
    // The framing written out here; the BASE64 itself is checked in core.
    const std::string auth = "auth=Bearer " + token + "\x01\x01";
    response = mime::EncodeBase64(bearer ? "n,a=fido,\x01host=127.0.0.1\x01port=" +
                                               std::to_string(peer.port()) + "\x01" + auth
                                         : "user=fido\x01" + auth);
    configuration.POPPORT = peer.port();
    configuration.POPTOKENCOMMAND = "echo " + token;
    front_end.ClearPane(Side::Receiving);
    EXPECT_EQ(Run(), c.ok) << c.token_length;
    std::vector<std::string> expected = {"CAPA", "AUTH " + mechanism};
    if (response.size() <= net::kMaxSaslLine) expected.push_back(response);
    if (c.error_answer) expected.push_back(c.error_answer);
    if (c.accepted && c.ok) expected.insert(expected.end(), {"CAPA", "STAT", "QUIT"});
    EXPECT_EQ(peer.Commands(), expected) << c.token_length;
    EXPECT_EQ(front_end.HasLine(Side::Receiving, R"(-- The server's reason: {"status":"401"})"),
              c.error_answer != nullptr);
    EXPECT_EQ(Transcript().find(token), std::string::npos);
  }
  EXPECT_TRUE(front_end.HasLine(Side::Receiving,
                                "-- Command of 12432 characters is longer than the server "
                                "accepts (12286), aborting"));
}

}  // namespace
}  // namespace kestrel::receive
