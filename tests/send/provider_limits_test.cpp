// SPDX-License-Identifier: GPL-2.0-or-later
// What providers refuse: a message refused after its data holds back only its
// own file; a real Postfix with a small size limit and a strict greeting
// rule takes a large file in message/partial pieces that munpack joins.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/link_events.h"
#include "send/smtp_dialogue.h"
#include "support/exim_server.h"
#include "support/fido_files.h"
#include "support/mail_servers.h"
#include "support/postfix_server.h"
#include "support/random_bytes.h"
#include "support/recording_front_end.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

namespace kestrel::send {
namespace {

using outbound::SendEntry;
using outbound::SendKind;
using outbound::SendState;
using testing::ScriptedPeer;

class ProviderLimitsTest : public ::testing::Test {
 protected:
  ProviderLimitsTest() {
    setenv("KESTREL_HOME", home.path().c_str(), 1);
    configuration.FROMEMAIL = "gate@example.org";
    configuration.SUBJECT = "FidoNet file $FILENAME$";
    configuration.NETTIMEOUT = 10;
    configuration.SENDPAUSE = 0;
    configuration.HOST = "127.0.0.1";
    for (const char* node : {"100", "200"}) {
      config::RedirectEntry entry;
      entry.Address = std::string("2:236/") + node + ".0";
      entry.EmailAddress = std::string("node") + node + "@example.org";
      EXPECT_TRUE(configuration.Redirects.Add(entry));
    }
  }
  ~ProviderLimitsTest() override { unsetenv("KESTREL_HOME"); }

  // Files listed in the flow file `flow` for redirect `redirect`.
  void List(const std::string& flow, const std::vector<std::string>& files, int redirect) {
    const std::string path = fido.Write("outbound/" + flow, testing::TextLines(files));
    for (const std::string& file : files) {
      SendEntry entry;
      entry.Kind = SendKind::ListedFile;
      entry.Path = file;
      entry.ListPath = path;
      entry.RedirectIndex = redirect;
      ASSERT_TRUE(list.Add(entry));
    }
  }
  void Send(std::uint16_t port) {
    configuration.SMTPPORT = port;
    logger.OpenLog(core::Side::Sending);
    net::NetSession session(core::Side::Sending, SmtpEndpoint(configuration), logger);
    outcome = net::RunSession(
        session, [&](net::NetSession& s) { (void)SmtpDialogue(s, list, configuration); });
    logger.CloseLog(core::Side::Sending);
    aborted = outcome.aborted();
    incomplete = outcome.incomplete();
  }
  bool LogHas(const std::string& text) const {
    return home.Read("SEND.LOG").find(text) != std::string::npos;
  }

  testing::RecordingFrontEnd front_end;
  testing::TempDir home;
  testing::TempDir fido;
  core::Logger logger{front_end, home.path()};
  config::Configuration configuration;
  outbound::SendList list;
  net::SessionOutcome outcome;
  bool aborted = false;
  bool incomplete = false;
};

using Script = std::vector<ScriptedPeer::Step>;

std::string JoinWithMunpack(const std::vector<std::string>& pieces, const testing::TempDir& out);

// The greeting and the answer to EHLO.
Script Greeting() {
  return {ScriptedPeer::Send("220 provider\r\n"), ScriptedPeer::ReadLine(),
          ScriptedPeer::Send("250 provider\r\n")};
}

// One message's transaction as a server plays it, answering its data with `reply`.
void AddMessage(std::vector<ScriptedPeer::Step>& script, const std::string& reply) {
  for (const char* answer : {"250 sender ok\r\n", "250 recipient ok\r\n", "354 go ahead\r\n"}) {
    script.push_back(ScriptedPeer::ReadLine());
    script.push_back(ScriptedPeer::Send(answer));
  }
  script.push_back(ScriptedPeer::ReadUntil("\r\n.\r\n"));
  script.push_back(ScriptedPeer::Send(reply + "\r\n"));
}

struct RefusalCase {
  const char* label;
  const char* reply;
  bool closes;  // the server ends the session after it: the others go on a new one
};

class RefusalTest : public ProviderLimitsTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, ARefusedMessageHoldsBackOnlyItsFile) {
  const RefusalCase& test = GetParam();
  // Larger than the others: a size refusal leaves them whole.
  const std::string refused = fido.Write("files/refused.zip", testing::RandomBytes(3000, 1));
  const std::string other = fido.Write("files/other.zip", testing::RandomBytes(300, 2));
  const std::string third = fido.Write("files/third.zip", testing::RandomBytes(300, 3));
  List("00ec0064.flo", {refused, other}, 1);
  List("00ec00c8.flo", {third}, 2);
  std::vector<Script> scripts = {Greeting()};
  AddMessage(scripts.back(), test.reply);
  if (test.closes) {
    scripts.back().push_back(ScriptedPeer::Close());
    scripts.push_back(Greeting());
  }
  AddMessage(scripts.back(), "250 queued");
  AddMessage(scripts.back(), "250 queued");
  scripts.back().push_back(ScriptedPeer::ReadLine());
  scripts.back().push_back(ScriptedPeer::Send("221 bye\r\n"));
  ScriptedPeer peer(scripts, false);
  Send(peer.port());
  peer.Join();

  // Whatever came of the others, the refused file stays listed.
  EXPECT_NE(fido.Read("outbound/00ec0064.flo").find(refused), std::string::npos);
  EXPECT_TRUE(incomplete);  // exit status 1
  EXPECT_FALSE(aborted) << home.Read("SEND.LOG");
  // After the data's answer the transaction is over: no RSET; nothing is
  // written after a server's goodbye.
  EXPECT_EQ(peer.Received().find("RSET"), std::string::npos) << peer.Received();
  EXPECT_EQ(LogHas("-- The server ended the session ("), test.closes);
  EXPECT_EQ(peer.Received().find("QUIT"), peer.Received().rfind("QUIT"));
  ASSERT_EQ(outcome.shortfalls().size(), 1u);
  EXPECT_EQ(outcome.shortfalls()[0].what, refused);
  EXPECT_EQ(outcome.shortfalls()[0].reply, test.reply);
  EXPECT_EQ(outcome.shortfalls()[0].permanence,
            test.reply[0] == '5' ? net::Permanence::Permanent : net::Permanence::Transient);
  EXPECT_TRUE(LogHas("-- Refused " + refused + " for 2:236/100.0 (node100@example.org): " +
                     std::string(test.reply).substr(0, 3)))
      << home.Read("SEND.LOG");
  EXPECT_TRUE(LogHas("-- Sent " + third + " to 2:236/200.0 (node200@example.org), 300 bytes"));
  EXPECT_EQ(fido.Read("outbound/00ec0064.flo"), testing::TextLines({refused}));
  EXPECT_FALSE(fido.Exists("outbound/00ec00c8.flo"));
  // The refusal is kept for the status, under its node and with the reply.
  const std::vector<core::LinkEvent> events = core::ReadLinkEvents(core::LinkEventPath());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, core::LinkEventKind::Refused);
  EXPECT_EQ(events[0].node, "2:236/100.0");
  EXPECT_EQ(events[0].text, test.reply);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, RefusalTest,
    ::testing::Values(RefusalCase{"too_big", "552 5.3.4 Error: message file too big", false},
                      RefusalCase{"spam", "550 5.7.1 rejected as spam", false},
                      RefusalCase{"storage", "452 4.3.1 insufficient system storage", false},
                      RefusalCase{"closing", "421 4.4.2 closing connection", true},
                      RefusalCase{"refused_then_closed", "554 5.7.1 go away", true}),
    [](const auto& info) { return std::string(info.param.label); });

// A server that announces no SIZE refuses a 30 kB file for its size after
// the data: the size is learned for the route, and the next run sends the
// file in pieces below it, joined whole by munpack, or holds it with
// SPLITLARGE 0; the refused bytes are not uploaded again.
class LearnedSizeTest : public ProviderLimitsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LearnedSizeTest, ASizeRefusalIsLearnedAndTheNextRunSplits) {
  const bool split = GetParam();
  const std::string content = testing::RandomBytes(30'000, 11);
  const std::string file = fido.Write("files/nodelist.z51", content);
  List("00ec0064.flo", {file}, 1);
  Script script = Greeting();
  AddMessage(script, "552 5.3.4 Error: message file too big");
  script.push_back(ScriptedPeer::ReadLine());
  script.push_back(ScriptedPeer::Send("221 bye\r\n"));
  ScriptedPeer peer(script);
  Send(peer.port());
  peer.Join();
  EXPECT_TRUE(incomplete);
  const std::string log = home.Read("SEND.LOG");
  const std::size_t at = log.find("-- The server refused ");
  ASSERT_NE(at, std::string::npos) << log;
  const std::uint64_t refused = std::stoull(log.substr(at + 22));
  EXPECT_GT(refused, content.size());
  EXPECT_EQ(fido.Read("outbound/00ec0064.flo"), testing::TextLines({file}));

  configuration.SPLITLARGE = split;
  list = outbound::SendList();
  List("00ec0064.flo", {file}, 1);
  testing::SmtpServer server;
  ASSERT_TRUE(server.running()) << server.ServerLog();
  Send(server.port());
  EXPECT_FALSE(aborted) << home.Read("SEND.LOG");
  if (!split) {
    EXPECT_TRUE(incomplete);
    EXPECT_TRUE(LogHas("-- Held " + file + ": ")) << home.Read("SEND.LOG");
    EXPECT_TRUE(server.MessageFiles().empty());
    return;
  }
  EXPECT_FALSE(incomplete) << home.Read("SEND.LOG");
  EXPECT_FALSE(fido.Exists("outbound/00ec0064.flo"));
  ASSERT_TRUE(server.WaitForMessages(2));
  for (const std::string& message : server.MessageFiles())
    EXPECT_LT(std::filesystem::file_size(message), refused);
  const testing::TempDir out;
  const std::string said = JoinWithMunpack(server.MessageFiles(), out);
  EXPECT_TRUE(out.Read("nodelist.z51") == content) << said;
}

INSTANTIATE_TEST_SUITE_P(Splitting, LearnedSizeTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "On" : "Off"; });

// Servers that end a session after a number of messages (421 to the next
// MAIL, as Exim's per-connection limit; 452 to its RCPT, as OpenSMTPD's): the
// session is opened again and the run goes on where it stopped.
struct SessionLimitCase {
  const char* label;
  std::vector<std::pair<const char*, const char*>> refusal;  // the third MAIL's exchange
  const char* why;                                           // the answer that ended it
};

class SessionLimitTest : public ProviderLimitsTest,
                         public ::testing::WithParamInterface<SessionLimitCase> {};

TEST_P(SessionLimitTest, TheSessionIsOpenedAgainAndEveryFileGoesOnce) {
  std::vector<std::string> files;
  for (int i = 0; i < 3; ++i) {
    files.push_back(fido.Write("files/f" + std::to_string(i) + ".zip",
                               testing::RandomBytes(300, static_cast<unsigned>(i + 1))));
  }
  List("00ec0064.flo", files, 1);
  std::vector<Script> scripts = {Greeting(), Greeting()};
  AddMessage(scripts[0], "250 queued");
  AddMessage(scripts[0], "250 queued");
  for (const auto& exchange : GetParam().refusal) {
    scripts[0].push_back(ScriptedPeer::ReadLine());
    scripts[0].push_back(ScriptedPeer::Send(std::string(exchange.second) + "\r\n"));
  }
  scripts[0].push_back(ScriptedPeer::Close());
  AddMessage(scripts[1], "250 queued");
  scripts[1].push_back(ScriptedPeer::ReadLine());
  scripts[1].push_back(ScriptedPeer::Send("221 bye\r\n"));
  ScriptedPeer peer(scripts, false);
  Send(peer.port());
  peer.Join();

  EXPECT_FALSE(aborted || incomplete) << home.Read("SEND.LOG");
  EXPECT_FALSE(fido.Exists("outbound/00ec0064.flo"));
  EXPECT_TRUE(LogHas("-- The server ended the session (" + std::string(GetParam().why) +
                     "), connecting again"))
      << home.Read("SEND.LOG");
  // The commands in order: each message once, the refused one again on the
  // new session, no RSET.
  const std::string received = peer.Received();
  std::string commands;
  for (std::size_t at = 0; at < received.size();) {
    const std::size_t end = received.find("\r\n", at);
    const std::string line = received.substr(at, end - at);
    if (line.rfind("MAIL", 0) == 0 || line.rfind("RCPT", 0) == 0 || line == "QUIT" ||
        line == "RSET" || line.rfind("EHLO", 0) == 0) {
      commands += line + "\n";
    }
    at = end == std::string::npos ? received.size() : end + 2;
  }
  const std::string message = "MAIL FROM:<gate@example.org>\nRCPT TO:<node100@example.org>\n";
  std::string third;
  for (const auto& exchange : GetParam().refusal) third += std::string(exchange.first) + "\n";
  EXPECT_EQ(commands, "EHLO [127.0.0.1]\n" + message + message + third + "EHLO [127.0.0.1]\n" +
                          message + "QUIT\n");
}

INSTANTIATE_TEST_SUITE_P(
    Servers, SessionLimitTest,
    ::testing::Values(SessionLimitCase{"per_connection_421",
                                       {{"MAIL FROM:<gate@example.org>",
                                         "421 4.7.0 Too many messages for this connection"}},
                                       "421 4.7.0 Too many messages for this connection"},
                      SessionLimitCase{
                          "max_mails_452",
                          {{"MAIL FROM:<gate@example.org>", "250 2.0.0 Ok"},
                           {"RCPT TO:<node100@example.org>", "452 4.5.3 Too many messages"},
                           {"QUIT", "221 2.0.0 Bye"}},
                          "452 4.5.3 Too many messages"}),
    [](const auto& info) { return std::string(info.param.label); });

// The numbers of the message/partial pieces in `text`, in order.
std::vector<int> PieceNumbers(const std::string& text) {
  std::vector<int> numbers;
  for (std::size_t at = text.find("; number="); at != std::string::npos;
       at = text.find("; number=", at + 1)) {
    numbers.push_back(std::atoi(text.c_str() + at + 9));
  }
  return numbers;
}

// A file in three pieces to a server that takes two messages a session: on
// a new session the set goes on at piece 3; when none can be had, the next
// run does. Each piece goes once, all under the one set id.
class PieceSetTest : public ProviderLimitsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PieceSetTest, APieceSetGoesOnAtItsFirstUnconfirmedPiece) {
  const bool in_this_run = GetParam();
  configuration.MAXMESSAGESIZE = 20'000;
  const std::string file = fido.Write("files/nodelist.z49", testing::RandomBytes(30'000, 5));
  List("00ec0064.flo", {file}, 1);
  std::vector<Script> scripts = {Greeting()};
  AddMessage(scripts[0], "250 queued");
  AddMessage(scripts[0], "250 queued");
  scripts[0].push_back(ScriptedPeer::ReadLine());
  scripts[0].push_back(ScriptedPeer::Send("421 4.7.0 Too many messages for this connection\r\n"));
  scripts[0].push_back(ScriptedPeer::Close());
  if (in_this_run) {
    scripts.push_back(Greeting());
    AddMessage(scripts[1], "250 queued");
    scripts[1].push_back(ScriptedPeer::ReadLine());
    scripts[1].push_back(ScriptedPeer::Send("221 bye\r\n"));
  } else {
    scripts.push_back(
        {ScriptedPeer::Send("421 4.3.2 Service not available\r\n"), ScriptedPeer::Close()});
  }
  ScriptedPeer peer(scripts, false);
  Send(peer.port());
  peer.Join();
  std::string received = peer.Received();
  EXPECT_EQ(aborted, !in_this_run) << home.Read("SEND.LOG");
  if (!in_this_run) {
    EXPECT_EQ(fido.Read("outbound/00ec0064.flo"), testing::TextLines({file}));
    testing::SmtpServer server;
    ASSERT_TRUE(server.running());
    list.Clear();
    List("00ec0064.flo", {file}, 1);
    Send(server.port());
    EXPECT_FALSE(aborted) << home.Read("SEND.LOG");
    ASSERT_TRUE(server.WaitForMessages(1));
    EXPECT_EQ(server.Messages().size(), 1u);
    received += server.Messages()[0];
    EXPECT_TRUE(LogHas("-- Pieces 1 to 2 of 3 of " + file + " went before, going on with piece 3"))
        << home.Read("SEND.LOG");
  }
  EXPECT_EQ(PieceNumbers(received), (std::vector<int>{1, 2, 3})) << received;
  // The total, known from the set's own record in a later run, on the last
  // piece alone.
  EXPECT_EQ(received.find("total="), received.find("number=3; total=3") + 10) << received;
  EXPECT_EQ(received.find("total=", received.find("total=") + 1), std::string::npos);
  const std::size_t id = received.find("message/partial; id=");
  ASSERT_NE(id, std::string::npos);
  const std::string set_id = received.substr(id, received.find(';', id + 20) - id);
  std::size_t under_one_id = 0;
  for (std::size_t at = received.find(set_id); at != std::string::npos;
       at = received.find(set_id, at + 1)) {
    ++under_one_id;
  }
  EXPECT_EQ(under_one_id, 3u);
  EXPECT_FALSE(fido.Exists("outbound/00ec0064.flo")) << home.Read("SEND.LOG");
}

INSTANTIATE_TEST_SUITE_P(Resuming, PieceSetTest, ::testing::Bool(), [](const auto& info) {
  return info.param ? "OnANewSession" : "InTheNextRun";
});

// A server that does not know EHLO is greeted with HELO, and the file goes.
TEST_F(ProviderLimitsTest, AServerWithoutEhloIsGreetedWithHelo) {
  const std::string file = fido.Write("files/old.zip", testing::RandomBytes(100, 4));
  List("00ec0064.flo", {file}, 1);
  std::vector<ScriptedPeer::Step> script = {
      ScriptedPeer::Send("220 old server\r\n"), ScriptedPeer::ReadLine(),
      ScriptedPeer::Send("502 command not implemented\r\n"), ScriptedPeer::ReadLine(),
      ScriptedPeer::Send("250 hello\r\n")};
  AddMessage(script, "250 queued");
  script.push_back(ScriptedPeer::ReadLine());
  script.push_back(ScriptedPeer::Send("221 bye\r\n"));
  ScriptedPeer peer(script);
  Send(peer.port());
  peer.Join();
  EXPECT_FALSE(aborted || incomplete) << home.Read("SEND.LOG");
  EXPECT_NE(peer.Received().find(
                "EHLO [127.0.0.1]\r\nHELO [127.0.0.1]\r\nMAIL FROM:<gate@example.org>\r\n"),
            std::string::npos)
      << peer.Received();
  EXPECT_FALSE(fido.Exists("outbound/00ec0064.flo"));
}

// munpack joins the pieces, fed one by one in the order given, and decodes
// the file into `out`; what it said. It reads a Unix mail store's lines:
// each piece goes with its CR LF as LF.
std::string JoinWithMunpack(const std::vector<std::string>& pieces, const testing::TempDir& out) {
  const testing::TempDir parts;  // munpack keeps unfinished sets below TMPDIR
  setenv("TMPDIR", parts.path().c_str(), 1);
  std::string said;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    std::ifstream in(pieces[i], std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    const std::string piece = parts.Write("piece" + std::to_string(i), text);
    said += testing::RunCommand({"/usr/bin/munpack", "-C", out.path(), piece},
                                std::chrono::seconds(60), true)
                .output;
  }
  unsetenv("TMPDIR");
  return said;
}

// Postfix with a 200 kB limit: the large file goes in pieces, each under the
// limit, the small one whole; munpack joins the pieces byte for byte. With
// splitting off the large file is held, nothing of it uploaded.
class PostfixSplitTest : public ProviderLimitsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PostfixSplitTest, LargeFilesGoInPiecesOrWait) {
  const bool split = GetParam();
  constexpr std::uint64_t kLimit = 200'000;
  testing::PostfixOptions options;
  options.message_size_limit = kLimit;
  testing::PostfixServer postfix(options);
  if (!postfix.running()) GTEST_SKIP() << "Postfix needs root: " << postfix.ServerLog();
  configuration.SPLITLARGE = split;
  // Postfix refuses a short greeting name: a set one, or our address literal.
  if (split) configuration.HELONAME = "gate.example.org";
  const std::string content = testing::RandomBytes(700'000, 9);
  const std::string large = fido.Write("files/nodelist.z49", content);
  const std::string small = fido.Write("files/small.zip", testing::RandomBytes(5'000, 10));
  List("00ec0064.flo", {large, small}, 1);
  Send(postfix.port());

  EXPECT_FALSE(aborted) << home.Read("SEND.LOG") << postfix.ServerLog();
  EXPECT_TRUE(LogHas(split ? "-> EHLO gate.example.org" : "-> EHLO [127.0.0.1]"));
  if (!split) {
    ASSERT_TRUE(postfix.WaitForMessages(1));
    EXPECT_EQ(postfix.MessageFiles().size(), 1u);  // the small file alone
    EXPECT_TRUE(incomplete);
    EXPECT_TRUE(LogHas("-- Held " + large + ": ")) << home.Read("SEND.LOG");
    EXPECT_EQ(fido.Read("outbound/00ec0064.flo"), testing::TextLines({large}));
    return;
  }
  EXPECT_FALSE(incomplete) << home.Read("SEND.LOG");
  EXPECT_FALSE(fido.Exists("outbound/00ec0064.flo"));
  std::size_t sent_pieces = 0;
  for (const std::string& line : front_end.Lines(core::Side::Sending))
    sent_pieces += line.rfind("-- Piece ", 0) == 0;
  ASSERT_GE(sent_pieces, 4u);  // 700 kB as BASE64 in pieces under 200 kB
  ASSERT_TRUE(postfix.WaitForMessages(sent_pieces + 1));
  std::vector<std::string> pieces;
  for (const std::string& file : postfix.MessageFiles()) {
    EXPECT_LT(std::filesystem::file_size(file), kLimit);
    std::ifstream in(file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.find("message/partial") != std::string::npos) pieces.push_back(file);
  }
  ASSERT_EQ(pieces.size(), sent_pieces);
  const testing::TempDir out;
  const std::string said = JoinWithMunpack(pieces, out);
  EXPECT_TRUE(out.Read("nodelist.z49") == content) << said;
}

INSTANTIATE_TEST_SUITE_P(Splitting, PostfixSplitTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "On" : "Off"; });

// Exim with its per-connection limit of 2 messages, PIPELINING and
// CHUNKING: a file in three pieces arrives whole in one run, each piece once;
// the session ended after two is opened again, over STARTTLS secured again.
class EximPiecesTest : public ProviderLimitsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(EximPiecesTest, EximTakesASetOfPiecesAcrossItsSessions) {
  const bool tls = GetParam();
  testing::EximServer exim({.max_per_connection = 2, .refused_locals = {}, .starttls = tls});
  if (!exim.running()) GTEST_SKIP() << "Exim needs root and scripts/install-deps.sh";
  if (tls) {
    configuration.SMTPTLS = config::TlsMode::StartTls;
    configuration.CAFILE = exim.certificate();
  }
  configuration.MAXMESSAGESIZE = 20'000;
  const std::string content = testing::RandomBytes(30'000, 6);
  const std::string file = fido.Write("files/nodelist.z50", content);
  List("00ec0064.flo", {file}, 1);
  Send(exim.port());
  EXPECT_FALSE(aborted || incomplete) << home.Read("SEND.LOG") << exim.ServerLog();
  EXPECT_FALSE(fido.Exists("outbound/00ec0064.flo"));
  EXPECT_TRUE(LogHas("-> BDAT ")) << home.Read("SEND.LOG");
  EXPECT_TRUE(LogHas("), connecting again")) << home.Read("SEND.LOG");
  ASSERT_TRUE(exim.WaitForMessages(3)) << exim.ServerLog();
  std::vector<int> numbers;
  for (const std::string& message : exim.MessageFiles()) {
    std::ifstream in(message, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const int number : PieceNumbers(text)) numbers.push_back(number);
  }
  std::sort(numbers.begin(), numbers.end());
  EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3}));
  const testing::TempDir out;
  const std::string said = JoinWithMunpack(exim.MessageFiles(), out);
  EXPECT_TRUE(out.Read("nodelist.z50") == content) << said;
}

INSTANTIATE_TEST_SUITE_P(Exim, EximPiecesTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "StartTls" : "Plain"; });

// Eleven files for an address Exim refuses, one for another: Exim drops a
// session after ten commands that carry no mail (RSET among them); the
// refused address holds back only its own files.
TEST_F(ProviderLimitsTest, EximRefusingOneAddressHoldsBackOnlyItsFiles) {
  testing::EximServer exim(
      {.max_per_connection = 0, .refused_locals = {"node100"}, .starttls = false});
  if (!exim.running()) GTEST_SKIP() << "Exim needs root and scripts/install-deps.sh";
  std::vector<std::string> refused;
  for (int i = 0; i < 11; ++i) {
    refused.push_back(fido.Write("files/r" + std::to_string(i) + ".zip",
                                 testing::RandomBytes(200, static_cast<unsigned>(20 + i))));
  }
  List("00ec0064.flo", refused, 1);
  const std::string other = fido.Write("files/other.zip", testing::RandomBytes(200, 40));
  List("00ec00c8.flo", {other}, 2);
  Send(exim.port());
  EXPECT_FALSE(aborted) << home.Read("SEND.LOG") << exim.ServerLog();
  EXPECT_TRUE(incomplete);
  EXPECT_EQ(fido.Read("outbound/00ec0064.flo"), testing::TextLines(refused));
  EXPECT_FALSE(fido.Exists("outbound/00ec00c8.flo")) << home.Read("SEND.LOG");
  ASSERT_TRUE(exim.WaitForMessages(1)) << exim.ServerLog();
  EXPECT_EQ(exim.MessageFiles().size(), 1u);
}

}  // namespace
}  // namespace kestrel::send
