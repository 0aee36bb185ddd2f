// SPDX-License-Identifier: GPL-2.0-or-later
// The socket layer against raw loopback peers: set-up lines, reply lines and
// replies, bulk data, time-outs and Stop.

#include "net/net_session.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "net/host_part.h"
#include "net/line_io_internal.h"
#include "net/reply.h"
#include "net/resolver.h"
#include "support/mail_servers.h"
#include "support/recording_front_end.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

namespace kestrel::net {
namespace {

using core::Side;
using testing::ScriptedPeer;
using Clock = std::chrono::steady_clock;

// What a resolver answers: the given literals, in this order.
std::vector<SocketAddress> Addresses(std::initializer_list<const char*> literals) {
  std::vector<SocketAddress> found;
  for (const char* literal : literals) found.push_back(*NumericAddress(literal));
  return found;
}

class NetSessionTest : public ::testing::Test {
 protected:
  ~NetSessionTest() override { SetResolverForTesting({}); }

  // Runs a session of `side` against 127.0.0.1:port with `dialogue`.
  void Run(Side side, std::uint16_t port, const Dialogue& dialogue,
           std::string host = "127.0.0.1") {
    endpoint.host = host;
    endpoint.port = port;
    endpoint.service = side == Side::Sending ? "smtp" : "pop3";
    endpoint.default_port = side == Side::Sending ? 25 : 110;
    session = std::make_unique<NetSession>(side, endpoint, logger);
    outcome = RunSession(*session, dialogue);
  }
  std::vector<std::string> Lines(Side side = Side::Sending) const { return front_end.Lines(side); }
  bool Has(const std::string& line, Side side = Side::Sending) const {
    return front_end.HasLine(side, line);
  }

  testing::RecordingFrontEnd front_end;
  testing::TempDir home;
  core::Logger logger{front_end, home.path()};
  Endpoint endpoint{"", 0, "smtp", 25, 90};
  SessionOutcome outcome;
  std::unique_ptr<NetSession> session;
};

TEST_F(NetSessionTest, SetUpLogsEachStepAndUsesTheConfiguredPort) {
  ScriptedPeer peer({ScriptedPeer::Send("220 hello\r\n")});
  std::string greeting;
  Run(Side::Sending, peer.port(), [&](NetSession& s) { greeting = ReadLine(s).text; });
  EXPECT_FALSE(session->IsAborted());
  EXPECT_EQ(greeting, "220 hello");
  const auto lines = Lines();
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(lines[0], "-- POSIX sockets (TCP over IPv6 and IPv4, non-blocking, poll)");
  EXPECT_EQ(lines[1], "-- Running");
  EXPECT_EQ(lines[2].rfind("-- Local host ", 0), 0u);
  EXPECT_EQ(lines[3], "<- Server IP-address: 127.0.0.1");
  EXPECT_EQ(lines[4], "<- Opening serviceport " + std::to_string(peer.port()));
  EXPECT_EQ(lines[5].rfind("<- Socket ", 0), 0u);
  EXPECT_EQ(lines[6], "-- Connecting");
  EXPECT_FALSE(front_end.Waiting(Side::Sending));
  EXPECT_EQ(front_end.Field(core::Field::Timeout), "");
}

TEST_F(NetSessionTest, NameWithPortResolvesTheNameAloneAndKeepsThePortKey) {
  std::vector<std::string> looked_up;
  SetResolverForTesting([&](const std::string& name) {
    looked_up.push_back(name);
    return Addresses({"127.0.0.1"});
  });
  ScriptedPeer peer({ScriptedPeer::Send("+OK ready\r\n")});
  std::string greeting;
  Run(
      Side::Receiving, peer.port(), [&](NetSession& s) { greeting = ReadLine(s).text; },
      "mail.example.org:995");
  EXPECT_EQ(looked_up, std::vector<std::string>{"mail.example.org"});
  EXPECT_EQ(greeting, "+OK ready");
  EXPECT_TRUE(Has("-> Resolving mail.example.org:995", Side::Receiving));
  EXPECT_TRUE(Has("<- Server IP-address: 127.0.0.1", Side::Receiving));
  EXPECT_TRUE(Has("<- Opening serviceport " + std::to_string(peer.port()), Side::Receiving));
}

TEST_F(NetSessionTest, WithoutPortKeyTheServicePortIsUsed) {
  // Nothing listens on 25/110 of the loopback here: the connect is refused.
  for (Side side : {Side::Sending, Side::Receiving}) {
    Run(side, 0, nullptr);
    EXPECT_TRUE(Has(
        side == Side::Sending ? "<- Opening serviceport 25" : "<- Opening serviceport 110", side));
  }
}

// A failed look-up names no address; a name that does not exist is the
// configuration's fault, a resolver that cannot answer now the day's.
TEST_F(NetSessionTest, FailedResolutionSaysWhyAndAborts) {
  struct Case {
    Resolution answer;
    std::string reason;
    bool misconfigured;
  } cases[] = {
      {Resolution({}, ResolveFailure::NoAddress), "no address for nowhere.invalid", false},
      {Resolution({}, ResolveFailure::NoSuchName), "the name nowhere.invalid does not exist", true},
      {Resolution({}, ResolveFailure::NotNow),
       "the name server cannot answer now for nowhere.invalid", false},
  };
  for (const Case& c : cases) {
    SetResolverForTesting([&c](const std::string&) { return c.answer; });
    front_end.ClearPane(Side::Sending);
    bool dialogue_ran = false;
    Run(
        Side::Sending, 2525, [&](NetSession&) { dialogue_ran = true; }, "nowhere.invalid");
    EXPECT_TRUE(session->IsAborted());
    EXPECT_FALSE(dialogue_ran);
    EXPECT_FALSE(front_end.HasLineStartingWith(Side::Sending, "<- Server IP-address"));
    const std::string line = "Could not resolve hostname, aborting (" + c.reason + ")";
    EXPECT_TRUE(Has("-- " + line)) << ::testing::PrintToString(Lines());
    EXPECT_EQ(outcome.kind(), SessionOutcome::Kind::Aborted);
    EXPECT_EQ(outcome.abort_reason(), line);
    EXPECT_EQ(outcome.misconfigured(), c.misconfigured) << c.reason;
    EXPECT_FALSE(front_end.HasLineStartingWith(Side::Sending, "<- Opening serviceport"));
  }
  // The system's resolver tells a name that does not exist from one it
  // cannot look up now (".invalid" never exists, RFC 6761).
  SetResolverForTesting({});
  Run(Side::Sending, 2525, nullptr, "nowhere.invalid");
  EXPECT_TRUE(outcome.misconfigured() ||
              Has("-- Could not resolve hostname, aborting (the name server cannot answer now "
                  "for nowhere.invalid)"))
      << ::testing::PrintToString(Lines());
}

TEST_F(NetSessionTest, ZeroAddressIsRefusedWithoutLookUp) {
  Run(Side::Sending, 2525, nullptr, "0.0.0.0");
  EXPECT_TRUE(session->IsAborted());
  EXPECT_FALSE(front_end.HasLineStartingWith(Side::Sending, "-> Resolving"));
  EXPECT_TRUE(Has("-- Could not resolve hostname, aborting (not an address to connect to)"));
}

TEST_F(NetSessionTest, Ipv6LiteralsConnectWithoutLookUp) {
  for (const char* host : {"::1", "[::1]", "[::1]:2525"}) {
    ScriptedPeer peer({ScriptedPeer::Send("220 over six\r\n")}, true);
    std::string greeting;
    front_end.ClearPane(Side::Sending);
    Run(
        Side::Sending, peer.port(), [&](NetSession& s) { greeting = ReadLine(s).text; }, host);
    EXPECT_EQ(greeting, "220 over six") << host;
    EXPECT_TRUE(Has("<- Server IP-address: " + std::string(host))) << host;
    EXPECT_FALSE(front_end.HasLineStartingWith(Side::Sending, "-> Resolving"));
  }
  EXPECT_EQ(HostPart("mail.example.org:995"), "mail.example.org");
  EXPECT_EQ(HostPart("[::1"), "[::1");
}

TEST_F(NetSessionTest, NameOfBothFamiliesConnectsToTheOneThatAnswers) {
  // IPv6 is tried first whatever the resolver's order; a refusal hands over
  // to the other family at once, and the log names the address that answered.
  struct Case {
    bool peer_on_ipv6;
    const char* answered;
    const char* refused;
  } cases[] = {{false, "127.0.0.1", "::1"}, {true, "::1", nullptr}};
  for (const Case& c : cases) {
    ScriptedPeer peer({ScriptedPeer::Send("+OK ready\r\n")}, c.peer_on_ipv6);
    SetResolverForTesting([](const std::string&) { return Addresses({"127.0.0.1", "::1"}); });
    front_end.ClearPane(Side::Receiving);
    std::string greeting;
    const auto start = Clock::now();
    Run(
        Side::Receiving, peer.port(), [&](NetSession& s) { greeting = ReadLine(s).text; },
        "both.example.org");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(greeting, "+OK ready") << c.answered;
    EXPECT_TRUE(Has("<- Server IP-address: ::1", Side::Receiving));
    EXPECT_TRUE(Has("-- Connected to " + std::string(c.answered), Side::Receiving));
    EXPECT_EQ(session->connected_address(), c.answered);
    if (c.refused) {
      EXPECT_TRUE(Has("-- No connection to ::1 (Connection refused)", Side::Receiving));
    }
  }
}

// A listener on [::1]:port whose queue is full: a connect there neither
// succeeds nor fails, as towards a host that drops the packets. -1 on failure.
int SilentIpv6Listener(std::uint16_t port, int& filler) {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  (void)::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  SocketAddress address = *NumericAddress("::1");
  address.SetPort(port);
  if (::bind(fd, address.get(), address.length) != 0 || ::listen(fd, 0) != 0) {
    ::close(fd);
    return -1;
  }
  filler = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  (void)::connect(filler, address.get(), address.length);
  return fd;
}

TEST_F(NetSessionTest, SilentIpv6AddressGivesWayToIpv4AfterAShortDelay) {
  ScriptedPeer peer({ScriptedPeer::Send("220 four\r\n")});
  int filler = -1;
  const int silent = SilentIpv6Listener(peer.port(), filler);
  ASSERT_GE(silent, 0);
  SetResolverForTesting([](const std::string&) { return Addresses({"::1", "127.0.0.1"}); });
  std::string greeting;
  const auto start = Clock::now();
  Run(
      Side::Sending, peer.port(), [&](NetSession& s) { greeting = ReadLine(s).text; },
      "both.example.org");
  const auto took = Clock::now() - start;
  ::close(filler);
  ::close(silent);
  EXPECT_EQ(greeting, "220 four");
  EXPECT_GE(took, std::chrono::milliseconds(200));
  EXPECT_LT(took, std::chrono::seconds(1));
  EXPECT_TRUE(Has("-- Connected to 127.0.0.1"));
}

TEST_F(NetSessionTest, RefusedConnectionEndsAtOnce) {
  const std::uint16_t port = testing::FreeLoopbackPort();
  endpoint.timeout_seconds = 30;
  const auto start = Clock::now();
  Run(Side::Sending, port, nullptr);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(session->IsAborted());
  EXPECT_TRUE(Has("-- Could not connect (Connection refused)"));
  EXPECT_EQ(outcome.abort_reason(), "Could not connect (Connection refused)");
}

TEST_F(NetSessionTest, StopDuringLookUpEndsTheWaitPromptly) {
  SetResolverForTesting([](const std::string&) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    return Addresses({"127.0.0.1"});
  });
  endpoint.host = "slow.example.org";
  session = std::make_unique<NetSession>(Side::Sending, endpoint, logger);
  Clock::time_point stopped;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stopped = Clock::now();
    session->Abort(kStoppedReason);
  });
  RunSession(*session, nullptr);
  const auto returned = Clock::now();
  stopper.join();
  EXPECT_LT(returned - stopped, std::chrono::milliseconds(100));
  EXPECT_FALSE(front_end.HasLineStartingWith(Side::Sending, "<- Server IP-address"));
  EXPECT_TRUE(Has("-- Could not resolve hostname, aborting (stopped)"));
}

TEST_F(NetSessionTest, LookUpTimeOutShowsCountdownAndClearsIt) {
  SetResolverForTesting([](const std::string&) {
    std::this_thread::sleep_for(std::chrono::seconds(5));
    return Addresses({"127.0.0.1"});
  });
  endpoint.timeout_seconds = 2;
  Run(Side::Sending, 2525, nullptr, "slow.example.org");
  EXPECT_TRUE(session->IsAborted());
  EXPECT_EQ(front_end.FieldHistory(core::Field::Timeout), (std::vector<std::string>{"1", "0", ""}));
  EXPECT_TRUE(Has("-- Could not resolve hostname, aborting (no answer within 2 seconds)"));
  EXPECT_FALSE(front_end.Waiting(Side::Sending));
}

TEST_F(NetSessionTest, ReplyLinesAreCutAndTrimmed) {
  const std::string long_line(300, 'x');
  ScriptedPeer peer({ScriptedPeer::Send("250 ok\r\n"), ScriptedPeer::Send("abc\r\r\n"),
                     ScriptedPeer::Send("\r\n"), ScriptedPeer::Send(long_line + "\r\n"),
                     ScriptedPeer::Send(std::string("2a\0b\r\n", 6)), ScriptedPeer::Send("split "),
                     ScriptedPeer::Pause(300), ScriptedPeer::Send("line\r\n")});
  std::vector<std::string> got;
  Run(Side::Receiving, peer.port(), [&](NetSession& s) {
    for (int i = 0; i < 6; ++i) got.push_back(ReadLine(s).text);
  });
  EXPECT_FALSE(session->IsAborted());
  EXPECT_EQ(got, (std::vector<std::string>{"250 ok", "abc", "", std::string(255, 'x'), "2a",
                                           "split line"}));
}

// A protocol whose replies end with a line "END".
class EndRules final : public ReplyRules {
 public:
  bool IsLastLine(std::string_view line) const override { return line == "END"; }
};

TEST_F(NetSessionTest, RepliesAreBoundedAndSayHowTheyEnded) {
  const std::string many_lines = [] {
    std::string text;
    for (std::size_t i = 0; i <= kMaxReplyLines; ++i) text += "more\r\n";
    return text;
  }();
  struct Case {
    const char* name;
    std::vector<ScriptedPeer::Step> script;
    ReplyStatus status;
    std::vector<std::string> lines;
  } cases[] = {
      {"whole", {ScriptedPeer::Send("one\r\nEND\r\n")}, ReplyStatus::Ok, {"one", "END"}},
      {"closed",
       {ScriptedPeer::Send("one\r\n"), ScriptedPeer::Close()},
       ReplyStatus::Closed,
       {"one"}},
      {"silent", {ScriptedPeer::Pause(3000)}, ReplyStatus::TimedOut, {}},
      {"endless", {ScriptedPeer::Send(many_lines)}, ReplyStatus::Aborted, {}},
  };
  endpoint.timeout_seconds = 1;
  for (auto& c : cases) {
    ScriptedPeer peer(c.script);
    Reply reply;
    Run(Side::Receiving, peer.port(),
        [&](NetSession& s) { reply = ReadReply(s, EndRules(), Echo::Logged); });
    EXPECT_EQ(reply.status, c.status) << c.name;
    if (c.status != ReplyStatus::Aborted) {
      EXPECT_EQ(reply.lines, c.lines) << c.name;
    }
  }
  EXPECT_TRUE(Has("-- Reply of more than 100 lines, aborting", Side::Receiving));
  // A failed read shows as an empty reply line, as a server's silence always has.
  EXPECT_TRUE(Has("<- ", Side::Receiving));
}

TEST_F(NetSessionTest, DotListsAreReadToTheirEndAndKeepWhatIsAsked) {
  ScriptedPeer peer({ScriptedPeer::Send("a\r\nb\r\nc\r\n.\r\n+OK next\r\n")});
  Reply list;
  std::string after;
  Run(Side::Receiving, peer.port(), [&](NetSession& s) {
    list = ReadDotList(s, 2, Echo::Quiet, TransferBounds(1024));
    after = ReadLine(s).text;
  });
  EXPECT_TRUE(list.ok());
  EXPECT_EQ(list.lines, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(list.dropped, 1u);
  EXPECT_EQ(after, "+OK next");
  EXPECT_FALSE(Has("<- a", Side::Receiving));
}

// A server that sends without end, all at once or a trickle, is cut off.
TEST_F(NetSessionTest, RepliesAndListsEndAtTheirBounds) {
  struct Case {
    std::vector<ScriptedPeer::Step> script;
    ReadBounds bounds;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{ScriptedPeer::Send("a\r\nb\r\nc\r\n.\r\n")},
       {8, 60},
       "-- Reply longer than 8 bytes, aborting"},
      {{ScriptedPeer::Send("a\r\n"), ScriptedPeer::Pause(600), ScriptedPeer::Send("b\r\n"),
        ScriptedPeer::Pause(600), ScriptedPeer::Send("c\r\n.\r\n")},
       {1024, 1},
       "-- Reply not complete within 1 seconds, aborting"},
  };
  for (const Case& c : cases) {
    ScriptedPeer peer(c.script);
    Reply list;
    Run(Side::Receiving, peer.port(),
        [&](NetSession& s) { list = ReadDotList(s, 10, Echo::Quiet, c.bounds); });
    EXPECT_FALSE(list.ok()) << c.line;
    EXPECT_TRUE(Has(c.line, Side::Receiving)) << c.line;
  }
}

TEST_F(NetSessionTest, SendLineSendsCrLfAndEchoesOnlyWhileTheLogIsOpen) {
  ScriptedPeer peer({ScriptedPeer::ReadLine(), ScriptedPeer::ReadLine(), ScriptedPeer::ReadLine(),
                     ScriptedPeer::Send("250 ok\r\n")});
  logger.OpenLog(Side::Sending);
  Run(Side::Sending, peer.port(), [&](NetSession& s) {
    SendLine(s, "HELO host");
    {
      const SuspendedLog quiet(s);
      SendLine(s, "secret data");
      LogLine(s, "-- pane only");
    }
    SendLine(s, std::string(300, 'y'));
    (void)ReadLine(s);
    SendLine(s, std::string(kMaxSmtpCommandLine + 1, 'n'));
  });
  logger.CloseLog(Side::Sending);
  EXPECT_EQ(peer.Received().substr(0, 24), "HELO host\r\nsecret data\r\n");
  // Longer than a POP3 line, whole for SMTP; beyond SMTP's limit, refused, not cut.
  EXPECT_EQ(peer.Received().substr(24), std::string(300, 'y') + "\r\n");
  EXPECT_TRUE(session->IsAborted());
  EXPECT_TRUE(
      Has("-- Command of 511 characters is longer than the server accepts (510), aborting"));
  EXPECT_TRUE(Has("-> HELO host"));
  EXPECT_FALSE(Has("-> secret data"));
  EXPECT_TRUE(Has("-- pane only"));
  const std::string file = home.Read("SEND.LOG");
  EXPECT_NE(file.find("-> HELO host"), std::string::npos);
  EXPECT_EQ(file.find("-- pane only"), std::string::npos);
}

TEST_F(NetSessionTest, QueuedDataArrivesWholeAndInOrder) {
  ScriptedPeer peer({});
  std::string expected;
  Run(Side::Sending, peer.port(), [&](NetSession& s) {
    const SuspendedLog quiet(s);
    for (int i = 0; i < 20000; ++i) {
      const std::string line = "line " + std::to_string(i) + std::string(60, 'z');
      QueueLine(s, line);
      expected += line + "\r\n";
    }
    SendLine(s, ".");
    expected += ".\r\n";
  });
  EXPECT_FALSE(session->IsAborted());
  peer.Join();
  EXPECT_EQ(peer.Received(), expected);
}

TEST_F(NetSessionTest, ReceiveSomeReadsBulkDataUntilClose) {
  const std::string data(100000, 'q');
  ScriptedPeer peer({ScriptedPeer::Send(data), ScriptedPeer::Close()});
  std::string got;
  Run(Side::Receiving, peer.port(), [&](NetSession& s) {
    char buffer[2048];
    for (int i = 0; i < 1000 && !s.closed() && !s.IsAborted(); ++i) {
      got.append(buffer, ReceiveSome(s, buffer, sizeof buffer));
    }
  });
  EXPECT_EQ(got, data);
  EXPECT_TRUE(session->closed());
  EXPECT_FALSE(session->IsAborted());
}

TEST_F(NetSessionTest, SilentServerTimesOutAndStopEndsAWaitWithin100ms) {
  ScriptedPeer peer({ScriptedPeer::Pause(10000)});
  endpoint.timeout_seconds = 1;
  std::string line = "unchanged";
  const auto start = Clock::now();
  Run(Side::Sending, peer.port(), [&](NetSession& s) { line = ReadLine(s).text; });
  const auto took = Clock::now() - start;
  EXPECT_TRUE(session->IsAborted());
  EXPECT_EQ(line, "");
  EXPECT_GE(took, std::chrono::milliseconds(1000));
  EXPECT_LT(took, std::chrono::milliseconds(3500));

  ScriptedPeer quiet({ScriptedPeer::Pause(10000)});
  endpoint.timeout_seconds = 30;
  endpoint.host = "127.0.0.1";
  endpoint.port = quiet.port();
  session = std::make_unique<NetSession>(Side::Receiving, endpoint, logger);
  Clock::time_point stopped;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stopped = Clock::now();
    session->Abort(kStoppedReason);
  });
  Clock::time_point returned;
  RunSession(*session, [&](NetSession& s) {
    (void)ReadLine(s);
    returned = Clock::now();
  });
  stopper.join();
  EXPECT_LT(returned - stopped, std::chrono::milliseconds(100));
}

}  // namespace
}  // namespace kestrel::net
