// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "core/log.h"
#include "net/credential_command.h"
#include "net/line_io_internal.h"
#include "net/net_session.h"
#include "net/sasl.h"
#include "net/start_tls.h"
#include "support/mail_servers.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace kestrel::net {
namespace {

using core::Side;

class TlsSessionTest : public ::testing::Test {
 protected:
  // Connects to a local POP3 server and runs `dialogue` on the live session.
  void Run(std::uint16_t port, const std::function<void(NetSession&)>& dialogue) {
    NetSession session(Side::Receiving, Endpoint{"127.0.0.1", port, "pop3", 110, 10}, logger);
    RunSession(session, dialogue);
    aborted = session.IsAborted();
  }

  testing::TempDir home;
  testing::RecordingFrontEnd front_end;
  core::Logger logger{front_end, home.path()};
  bool aborted = false;
};

TEST_F(TlsSessionTest, ImplicitTlsWithTheServersCertificate) {
  testing::Pop3Server server({.implicit_tls = true});
  ASSERT_TRUE(server.running()) << server.ServerLog();
  std::string greeting;
  Run(server.port(), [&](NetSession& session) {
    if (StartTls(session, server.directory() + "/cert.pem")) greeting = ReadLine(session).text;
    SendLine(session, "QUIT");
  });
  EXPECT_EQ(greeting.substr(0, 3), "+OK");
  EXPECT_TRUE(front_end.HasLineStartingWith(Side::Receiving, "<- TLS TLSv1."));
}

TEST_F(TlsSessionTest, UntrustedCertificateIsRefusedAndAborts) {
  testing::Pop3Server server({.implicit_tls = true});
  ASSERT_TRUE(server.running()) << server.ServerLog();
  bool started = true;
  std::string after;
  Run(server.port(), [&](NetSession& session) {
    started = StartTls(session, "");
    after = ReadLine(session).text;
  });
  EXPECT_FALSE(started);
  EXPECT_TRUE(aborted);
  EXPECT_EQ(after, "");
  EXPECT_TRUE(
      front_end.HasLineStartingWith(Side::Receiving, "-- TLS failed: certificate not trusted"));
}

TEST_F(TlsSessionTest, WritingToAPeerThatClosedFailsWithoutSigpipe) {
  testing::Pop3Server server({.implicit_tls = true});
  ASSERT_TRUE(server.running()) << server.ServerLog();
  // Nothing in the process ignores SIGPIPE: it would end this test at once.
  const auto previous = std::signal(SIGPIPE, SIG_DFL);
  std::string bye;
  bool closed = false;
  Run(server.port(), [&](NetSession& session) {
    if (!StartTls(session, server.directory() + "/cert.pem")) return;
    (void)ReadLine(session);
    SendLine(session, "QUIT");
    bye = ReadLine(session).text;  // the server closes after this
    const std::string line(kMaxDataLine, 'x');
    for (int i = 0; i < 200 && !session.IsAborted() && !session.closed(); ++i) {
      QueueLine(session, line);
      FlushOutput(session);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The failed write counts as the server's close: the next read says so.
    closed = session.closed() && ReadLine(session).status == ReplyStatus::Closed;
  });
  std::signal(SIGPIPE, previous);
  EXPECT_EQ(bye.substr(0, 3), "+OK");
  EXPECT_TRUE(closed);
}

// A server that drops the connection after its last word without TLS's
// goodbye has closed it: its words are logged, and the close is a close,
// not a failure of the connection.
TEST_F(TlsSessionTest, AServerThatDropsTlsWithoutGoodbyeHasClosedTheConnection) {
  const testing::TempDir dir;
  const auto files = testing::MakeSelfSignedCertificate(dir.path());
  ASSERT_TRUE(files.has_value());
  testing::ChildProcess peer;
  ASSERT_TRUE(peer.Start(
      {"/usr/bin/python3", std::string(KESTREL_SOURCE_DIR) + "/tests/servers/abrupt_tls_peer.py",
       files->certificate, files->key, "220 peer", "554 5.7.0 Too many nonmail commands"},
      true, dir.File("peer.log")));
  const std::optional<std::string> port = peer.ReadStdoutLine(std::chrono::seconds(10));
  ASSERT_TRUE(port.has_value());
  logger.OpenLog(Side::Receiving);
  ReplyStatus after = ReplyStatus::Ok;
  Run(static_cast<std::uint16_t>(std::stoi(*port)), [&](NetSession& session) {
    if (!StartTls(session, files->certificate)) return;
    (void)ReadLine(session);
    SendLine(session, "RSET");
    EXPECT_EQ(ReadLine(session).text, "554 5.7.0 Too many nonmail commands");
    after = ReadLine(session).status;
  });
  logger.CloseLog(Side::Receiving);
  EXPECT_EQ(after, ReplyStatus::Closed);
  EXPECT_FALSE(aborted);
  EXPECT_TRUE(front_end.HasLine(Side::Receiving, "-- Connection closed by the server"));
  EXPECT_FALSE(front_end.HasLineStartingWith(Side::Receiving, "-- Connection lost"));
}

TEST_F(TlsSessionTest, StlsUpgradesThePlainConnection) {
  testing::Pop3Server server({.offer_stls = true});
  ASSERT_TRUE(server.running()) << server.ServerLog();
  std::string reply;
  Run(server.port(), [&](NetSession& session) {
    (void)ReadLine(session);
    SendLine(session, "STLS");
    if (ReadLine(session).text.rfind("+OK", 0) != 0) return;
    if (!StartTls(session, server.directory() + "/cert.pem")) return;
    SendLine(session, "USER " + server.user());
    reply = ReadLine(session).text;
  });
  EXPECT_EQ(reply.substr(0, 3), "+OK");
  EXPECT_FALSE(aborted);
}

TEST(CredentialCommand, FirstLineOfASuccessfulCommand) {
  std::atomic<bool> aborted{false};
  std::string error;
  EXPECT_EQ(RunCredentialCommand("printf 'app-pass\\nignored\\n'", 5, aborted, error), "app-pass");
  EXPECT_FALSE(RunCredentialCommand("echo partial; exit 3", 5, aborted, error).has_value());
  EXPECT_EQ(error, "the command failed");
  EXPECT_FALSE(RunCredentialCommand("true", 5, aborted, error).has_value());
  EXPECT_EQ(error, "the command printed nothing");
  // Relative names in the command point into the program's home.
  testing::TempDir home;
  home.Write("token", "from-home\n");
  setenv("KESTREL_HOME", home.path().c_str(), 1);
  EXPECT_EQ(RunCredentialCommand("cat token", 5, aborted, error), "from-home");
  unsetenv("KESTREL_HOME");

  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(RunCredentialCommand("sleep 30", 1, aborted, error).has_value());
  EXPECT_EQ(error, "the command took too long");
  // Output closed but no exit: killed with the whole group at the limit.
  EXPECT_FALSE(RunCredentialCommand("echo tok; exec >&-; sleep 30", 1, aborted, error));
  EXPECT_EQ(error, "the command did not end in time");
  aborted = true;
  EXPECT_FALSE(RunCredentialCommand("sleep 30", 30, aborted, error).has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST(CredentialCommand, StartsWithNoSignalBlockedOrIgnored) {
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigset_t previous_mask;
  pthread_sigmask(SIG_BLOCK, &blocked, &previous_mask);
  const auto previous_pipe = std::signal(SIGPIPE, SIG_IGN);
  std::atomic<bool> aborted{false};
  std::string error;
  const auto status = RunCredentialCommand(
      "grep -E '^Sig(Blk|Ign)' /proc/self/status | tr '\\n' ' '", 5, aborted, error);
  std::signal(SIGPIPE, previous_pipe);
  pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
  ASSERT_TRUE(status) << error;
  // The C library may ignore signals of its own (32, 33); ours are not among them.
  unsigned long long ignored = 0;
  ASSERT_EQ(std::sscanf(status->c_str(), "SigBlk:\t0000000000000000 SigIgn:\t%llx", &ignored), 1)
      << *status;
  EXPECT_EQ(ignored & ((1ull << (SIGPIPE - 1)) | (1ull << (SIGTERM - 1))), 0u) << *status;
}

TEST(Sasl, KnownResponsesAndMechanismChoice) {
  EXPECT_EQ(SaslPlain("tim", "tanstaaftanstaaf"), "AHRpbQB0YW5zdGFhZnRhbnN0YWFm");
  EXPECT_EQ(SaslXOAuth2("someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"),
            "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNr"
            "QmhkSFJoZG1semRHRXVZMjl0Q2cBAQ==");
  EXPECT_EQ(ChooseMechanism("LOGIN PLAIN", false), "PLAIN");
  EXPECT_EQ(ChooseMechanism("login", false), "LOGIN");
  EXPECT_EQ(ChooseMechanism("PLAIN XOAUTH2 OAUTHBEARER", true), "OAUTHBEARER");
  EXPECT_EQ(ChooseMechanism("=PLAIN XOAUTH2", true), "XOAUTH2");
  EXPECT_EQ(ChooseMechanism("CRAM-MD5", false), "");
  EXPECT_EQ(ChooseMechanism("PLAINX", false), "");
}

}  // namespace
}  // namespace kestrel::net
