// SPDX-License-Identifier: GPL-2.0-or-later
// The SMTP send job end to end against a real SMTP server on loopback: what
// arrives (parsed by a real MIME parser) and what happens to the mailer's files.

#include "send/smtp_dialogue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mime/ascii_text.h"
#include "outbound/busy_flag.h"
#include "send/sent_record.h"
#include "support/dead_process.h"
#include "support/fake_clock.h"
#include "support/fault_proxy.h"
#include "support/fido_files.h"
#include "support/mail_servers.h"
#include "support/random_bytes.h"
#include "support/recording_front_end.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

namespace kestrel::send {
namespace {

using outbound::AfterSendAction;
using outbound::SendEntry;
using outbound::SendKind;
using outbound::SendState;

using testing::RandomBytes;

class SmtpDialogueTest : public ::testing::Test {
 protected:
  SmtpDialogueTest() {
    setenv("KESTREL_HOME", home.path().c_str(), 1);
    home.Write("HEADER.TXT",
               "File $FILENAME$ ($FILESIZE$ bytes), Kestrel $version$\n.\n"
               ".dotted template line\n");
    configuration.FROM = "Fido Gate";
    configuration.FROMEMAIL = "gate@example.org";
    configuration.SUBJECT = "FidoNet file $FILENAME$";
    configuration.NETTIMEOUT = 10;
    configuration.HOST = "127.0.0.1";
    AddRedirect("2:236/100.0", "node100@example.org", "Node Hundred");
    AddRedirect("2:236/200.0", "node200@example.org", "Node Two Hundred");
  }
  ~SmtpDialogueTest() override { unsetenv("KESTREL_HOME"); }

  void AddRedirect(const std::string& address, const std::string& email, const std::string& name) {
    config::RedirectEntry entry;
    entry.Address = address;
    entry.EmailAddress = email;
    entry.Name = name;
    ASSERT_TRUE(configuration.Redirects.Add(entry));
  }
  // An entry as the scans store it: real full paths.
  int Add(SendKind kind, const std::string& path, const std::string& list_path, int redirect,
          AfterSendAction after = AfterSendAction::Nothing) {
    SendEntry entry;
    entry.Kind = kind;
    entry.Path = path;
    entry.ListPath = list_path;
    entry.RedirectIndex = redirect;
    entry.AfterSend = after;
    EXPECT_TRUE(list.Add(entry));
    return list.Count();
  }
  void Send(testing::SmtpServer& server) { Send(server.port()); }
  void Send(std::uint16_t port) {
    configuration.SMTPPORT = port;
    net::NetSession session(core::Side::Sending, send::SmtpEndpoint(configuration), logger);
    net::RunSession(session,
                    [&](net::NetSession& s) { (void)SmtpDialogue(s, list, configuration); });
    aborted = session.IsAborted();
  }
  bool Logged(const std::string& line) const {
    return front_end.HasLine(core::Side::Sending, line);
  }
  std::string Log() const {
    std::string all;
    for (const auto& line : front_end.Lines(core::Side::Sending)) all += line + "\n";
    return all;
  }

  testing::RecordingFrontEnd front_end;
  testing::TempDir home;
  testing::TempDir fido;
  core::Logger logger{front_end, home.path()};
  config::Configuration configuration;
  outbound::SendList list;
  bool aborted = false;
};

TEST_F(SmtpDialogueTest, AttachmentsArriveByteIdenticalAndLeaveTheFlowFile) {
  const std::vector<std::size_t> sizes = {0, 1, 56, 57, 58, 3 * 1024 * 1024 + 17};
  std::vector<std::string> contents;
  std::vector<std::string> flow_lines;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    contents.push_back(RandomBytes(sizes[i], static_cast<unsigned>(i + 1)));
    const std::string path = fido.Write("files/file" + std::to_string(i) + ".bin", contents[i]);
    flow_lines.push_back(path);
  }
  const std::string flow = fido.Write("outbound/00ec0064.flo", testing::TextLines(flow_lines));
  for (const auto& path : flow_lines) Add(SendKind::ListedFile, path, flow, 1);
  list.TotalBytes = 0;
  for (auto size : sizes) list.TotalBytes += static_cast<std::int32_t>(size);

  configuration.UPPERCASENAMES = true;  // the names as flow files were once read
  testing::SmtpServer server;
  ASSERT_TRUE(server.running()) << server.ServerLog();
  Send(server);
  EXPECT_FALSE(aborted) << Log();
  ASSERT_TRUE(server.WaitForMessages(sizes.size()));
  const auto files = server.MessageFiles();
  ASSERT_EQ(files.size(), sizes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const auto parts = testing::ParseMimeMessage(files[i]);
    ASSERT_TRUE(parts.has_value());
    ASSERT_EQ(parts->size(), 2u) << i;
    EXPECT_EQ((*parts)[0].content_type, "text/plain");
    EXPECT_EQ((*parts)[1].filename, "FILE" + std::to_string(i) + ".BIN");
    EXPECT_TRUE((*parts)[1].content == contents[i]) << "size " << sizes[i];
    EXPECT_EQ(list.Entry(static_cast<int>(i) + 1).State, SendState::Sent);
  }
  // The template's lone "." went as an empty line, its ".dotted" line intact.
  const std::string first = server.Messages()[0];
  EXPECT_NE(first.find("Kestrel 2.00\r\n\r\n.dotted template line\r\n"), std::string::npos);
  EXPECT_NE(first.find("Subject: FidoNet file FILE0.BIN\r\n"), std::string::npos);
  EXPECT_NE(first.find("To: Node Hundred <node100@example.org>\r\n"), std::string::npos);
  // Every line left the flow file, which is then gone; no busy flag remains.
  EXPECT_FALSE(fido.Exists("outbound/00ec0064.flo") &&
               fido.Read("outbound/00ec0064.flo").find("file") != std::string::npos);
  EXPECT_FALSE(fido.Exists("outbound/00ec0064.bsy"));
  EXPECT_TRUE(Logged("-- Message sent!"));
  EXPECT_TRUE(front_end.HasLineStartingWith(core::Side::Sending, "-- We were connected for "));
  EXPECT_EQ(front_end.Field(core::Field::FilesSent), std::to_string(sizes.size()));
}

TEST_F(SmtpDialogueTest, OneFileForSeveralSystemsIsOneMessageWithEveryRecipient) {
  const std::string file = fido.Write("files/shared.zip", RandomBytes(1000, 7));
  const std::string flow_a = fido.Write("outbound/00ec0064.flo", file + "\r\n");
  const std::string flow_b = fido.Write("outbound/00ec00c8.flo", file + "\r\n");
  Add(SendKind::ListedFile, file, flow_a, 1);
  Add(SendKind::ListedFile, file, flow_b, 2);
  testing::SmtpServer server;
  ASSERT_TRUE(server.running());
  logger.OpenLog(core::Side::Sending);
  Send(server);
  logger.CloseLog(core::Side::Sending);
  EXPECT_FALSE(aborted) << Log();
  ASSERT_EQ(server.Messages().size(), 1u);
  EXPECT_EQ(testing::StoredRecipients(server.Messages()[0]),
            (std::vector<std::string>{"node100@example.org", "node200@example.org"}));
  EXPECT_NE(server.Messages()[0].find("To: Node Hundred <node100@example.org>"), std::string::npos);
  EXPECT_EQ(front_end.Field(core::Field::FilesSent), "2");
  // Commands are echoed; message data and the remarks made while it flows
  // stay out of the log file.
  // SIZE= is the exact size of what arrived (after the server's own lines).
  const std::string stored = server.Messages()[0];
  const std::size_t own = stored.find("\r\n", stored.find("X-RcptTo: ")) + 2;
  EXPECT_EQ(front_end.Commands(core::Side::Sending),
            (std::vector<std::string>{
                "EHLO [127.0.0.1]",
                "MAIL FROM:<gate@example.org> SIZE=" + std::to_string(stored.size() - own),
                "RCPT TO:<node100@example.org>", "RCPT TO:<node200@example.org>", "DATA", "QUIT"}));
  EXPECT_FALSE(front_end.HasLineStartingWith(core::Side::Sending, "-> X-Mailer"));
  EXPECT_TRUE(Logged("-- Sending shared.zip 1000b"));
  const std::string log_file = home.Read("SEND.LOG");
  EXPECT_NE(log_file.find("-> DATA"), std::string::npos);
  EXPECT_EQ(log_file.find("-- Sending"), std::string::npos);
  EXPECT_EQ(list.Entry(1).State, SendState::Sent);
  EXPECT_EQ(list.Entry(2).State, SendState::Sent);
  for (const char* flow : {"outbound/00ec0064.flo", "outbound/00ec00c8.flo"}) {
    EXPECT_EQ(fido.Read(flow).find("shared.zip"), std::string::npos) << flow;
  }
}

// What the server offers decides how the envelope goes: with PIPELINING as
// one group (the peer answers only once the group is whole, so waiting for
// each answer would stall), with CHUNKING as "BDAT n LAST" and exactly n
// bytes of message, small enough to go with the group.
struct OfferCase {
  const char* label;
  const char* extensions;                   // the EHLO reply after its first line
  std::vector<testing::ScriptedPeer::Step>  // the peer's part, from the first MAIL on
      exchange;
  std::vector<std::string> commands;  // as sent, SIZE= cut off
};

class ServerOfferTest : public SmtpDialogueTest, public ::testing::WithParamInterface<OfferCase> {};

TEST_P(ServerOfferTest, TheEnvelopeGoesAsTheServerAllows) {
  using testing::ScriptedPeer;
  const OfferCase& test = GetParam();
  configuration.NETTIMEOUT = 5;
  configuration.SENDPAUSE = 0;
  const std::string file = fido.Write("files/shared.zip", RandomBytes(3000, 40));
  Add(SendKind::ListedFile, file, fido.Write("outbound/00ec0064.flo", file + "\r\n"), 1);
  Add(SendKind::ListedFile, file, fido.Write("outbound/00ec00c8.flo", file + "\r\n"), 2);
  std::vector<ScriptedPeer::Step> script = {
      ScriptedPeer::Send("220 peer\r\n"), ScriptedPeer::ReadLine(),
      ScriptedPeer::Send(std::string("250-peer\r\n") + test.extensions)};
  script.insert(script.end(), test.exchange.begin(), test.exchange.end());
  script.push_back(ScriptedPeer::ReadLine());
  script.push_back(ScriptedPeer::Send("221 bye\r\n"));
  ScriptedPeer peer(script);
  logger.OpenLog(core::Side::Sending);
  Send(peer.port());
  logger.CloseLog(core::Side::Sending);
  peer.Join();
  EXPECT_FALSE(aborted) << Log();
  std::vector<std::string> commands = front_end.Commands(core::Side::Sending);
  for (std::string& command : commands) {
    command = command.substr(0, command.find(" SIZE="));
    if (command.rfind("BDAT ", 0) == 0) command = "BDAT n" + command.substr(command.rfind(' '));
  }
  EXPECT_EQ(commands, test.commands);
  EXPECT_FALSE(fido.Exists("outbound/00ec0064.flo") || fido.Exists("outbound/00ec00c8.flo"));
  const std::string received = peer.Received();
  const std::size_t bdat = received.find("BDAT ");
  if (bdat == std::string::npos) return;
  // The count is the message's exact size: QUIT follows its last byte.
  const std::size_t data = received.find("\r\n", bdat) + 2;
  const std::size_t count = std::stoul(received.substr(bdat + 5));
  EXPECT_EQ(received.substr(data + count), "QUIT\r\n");
  EXPECT_NE(received.find("Message-ID: ", data), std::string::npos);
}

const std::vector<std::string> kEnvelope = {"MAIL FROM:<gate@example.org>",
                                            "RCPT TO:<node100@example.org>",
                                            "RCPT TO:<node200@example.org>"};

std::vector<std::string> Commands(std::vector<std::string> middle) {
  std::vector<std::string> all = {"EHLO [127.0.0.1]"};
  all.insert(all.end(), kEnvelope.begin(), kEnvelope.end());
  all.insert(all.end(), middle.begin(), middle.end());
  all.push_back("QUIT");
  return all;
}

using Peer = testing::ScriptedPeer;

INSTANTIATE_TEST_SUITE_P(
    Offers, ServerOfferTest,
    ::testing::Values(
        OfferCase{"Pipelining",
                  "250-PIPELINING\r\n250 SIZE 1000000\r\n",
                  {Peer::ReadUntil("DATA\r\n"),
                   Peer::Send("250 sender ok\r\n250 ok\r\n250 ok\r\n354 go ahead\r\n"),
                   Peer::ReadUntil("\r\n.\r\n"), Peer::Send("250 queued\r\n")},
                  Commands({"DATA"})},
        OfferCase{"PipeliningAndChunking",
                  "250-PIPELINING\r\n250-CHUNKING\r\n250 SIZE 1000000\r\n",
                  {Peer::ReadUntil(" LAST\r\n"), Peer::Pause(300),
                   Peer::Send("250 sender ok\r\n250 ok\r\n250 ok\r\n250 queued\r\n")},
                  Commands({"BDAT n LAST"})},
        OfferCase{"Chunking",
                  "250 CHUNKING\r\n",
                  {Peer::ReadLine(), Peer::Send("250 sender ok\r\n"), Peer::ReadLine(),
                   Peer::Send("250 ok\r\n"), Peer::ReadLine(), Peer::Send("250 ok\r\n"),
                   Peer::ReadLine(), Peer::Pause(300), Peer::Send("250 queued\r\n")},
                  Commands({"BDAT n LAST"})}),
    [](const auto& info) { return std::string(info.param.label); });

// Eleven files for an address the server refuses, one for another: the
// address is asked once a run, the one failed transaction is reset once,
// and only that address's files wait (a server counting RSETs as idle
// commands would drop the session otherwise).
TEST_F(SmtpDialogueTest, ARefusedAddressIsAskedOnceARun) {
  configuration.SENDPAUSE = 0;
  std::vector<std::string> refused;
  for (int i = 0; i < 11; ++i) {
    refused.push_back(fido.Write("files/r" + std::to_string(i) + ".zip", RandomBytes(100, 50 + i)));
  }
  const std::string flow_text = testing::TextLines(refused);
  const std::string flow = fido.Write("outbound/00ec0064.flo", flow_text);
  for (const std::string& file : refused) Add(SendKind::ListedFile, file, flow, 1);
  const std::string other = fido.Write("files/other.zip", RandomBytes(100, 70));
  Add(SendKind::ListedFile, other, fido.Write("outbound/00ec00c8.flo", other + "\r\n"), 2);
  testing::SmtpServerOptions options;
  options.refuse_recipients = {"node100@example.org"};
  testing::SmtpServer server(options);
  ASSERT_TRUE(server.running());
  logger.OpenLog(core::Side::Sending);
  Send(server);
  logger.CloseLog(core::Side::Sending);
  EXPECT_FALSE(aborted) << Log();
  ASSERT_TRUE(server.WaitForMessages(1));
  EXPECT_EQ(server.Messages().size(), 1u);
  std::vector<std::string> commands = front_end.Commands(core::Side::Sending);
  for (std::string& command : commands) command = command.substr(0, command.find(" SIZE="));
  EXPECT_EQ(commands, (std::vector<std::string>{"EHLO [127.0.0.1]", "MAIL FROM:<gate@example.org>",
                                                "RCPT TO:<node100@example.org>", "RSET",
                                                "MAIL FROM:<gate@example.org>",
                                                "RCPT TO:<node200@example.org>", "DATA", "QUIT"}));
  EXPECT_EQ(fido.Read("outbound/00ec0064.flo"), flow_text);
  EXPECT_FALSE(fido.Exists("outbound/00ec00c8.flo"));
  EXPECT_TRUE(
      Logged("--   Recipient refused earlier in this run, file kept for the next run "
             "(node100@example.org)"));
}

// A file in two flow files of one node (.flo and .clo): the node's flag is
// taken once, the file goes once to its one address, and both lines are done.
TEST_F(SmtpDialogueTest, AFileInTwoFlowFilesOfANodeGoesOnceAndLeavesBoth) {
  const std::string file = fido.Write("files/twice.zip", RandomBytes(400, 8));
  const std::string flo = fido.Write("outbound/00ec0064.flo", file + "\r\n");
  const std::string clo = fido.Write("outbound/00ec0064.clo", file + "\r\n");
  Add(SendKind::ListedFile, file, flo, 1);
  Add(SendKind::ListedFile, file, clo, 1);
  testing::SmtpServer server;
  ASSERT_TRUE(server.running());
  Send(server);
  EXPECT_FALSE(aborted) << Log();
  ASSERT_TRUE(server.WaitForMessages(1));
  EXPECT_EQ(testing::StoredRecipients(server.Messages()[0]),
            (std::vector<std::string>{"node100@example.org"}));
  EXPECT_FALSE(front_end.HasLineStartingWith(core::Side::Sending, "--   Busy file found"));
  EXPECT_TRUE(Logged("-- Sent " + file + " to 2:236/100.0 (node100@example.org), 400 bytes"));
  EXPECT_FALSE(fido.Exists("outbound/00ec0064.flo") || fido.Exists("outbound/00ec0064.clo"));
  EXPECT_FALSE(fido.Exists("outbound/00ec0064.bsy"));
}

// A refused recipient's copy stays listed, and the file marked "^" stays for
// it: also when its line is the very line the other recipient got the file
// through (one address in two redirect entries, one flow file).
class RefusedRecipientTest : public SmtpDialogueTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RefusedRecipientTest, KeepsItsFlowFileLineWhileTheOtherGets) {
  const bool one_flow_file = GetParam();
  const std::string file = fido.Write("files/shared.zip", RandomBytes(1000, 9));
  const std::string line = "^" + file + "\n";
  const std::string flow_a = fido.Write("outbound/00ec0064.flo", line);
  const std::string flow_b = one_flow_file ? flow_a : fido.Write("outbound/00ec00c8.flo", line);
  Add(SendKind::ListedFile, file, flow_a, 1, AfterSendAction::Delete);
  Add(SendKind::ListedFile, file, flow_b, 2, AfterSendAction::Delete);
  testing::SmtpServerOptions options;
  options.refuse_recipients = {"node100@example.org"};
  testing::SmtpServer server(options);
  ASSERT_TRUE(server.running());
  Send(server);
  EXPECT_FALSE(aborted) << Log();
  ASSERT_EQ(server.Messages().size(), 1u);
  EXPECT_EQ(testing::StoredRecipients(server.Messages()[0]),
            std::vector<std::string>{"node200@example.org"});
  EXPECT_EQ(list.Entry(1).State, SendState::Skipped);
  EXPECT_EQ(list.Entry(2).State, SendState::Sent);
  EXPECT_EQ(fido.Read("outbound/00ec0064.flo"), line);
  EXPECT_TRUE(fido.Exists("files/shared.zip"));
  EXPECT_TRUE(Logged("--   Recipient refused, file kept for the next run (node100@example.org)"));
  if (one_flow_file) {
    EXPECT_TRUE(Logged("-- Keeping " + file + " in " + flow_a + " (not every recipient got it)"))
        << Log();
  } else {
    EXPECT_FALSE(fido.Exists("outbound/00ec00c8.flo"));
  }
}

INSTANTIATE_TEST_SUITE_P(Lists, RefusedRecipientTest, ::testing::Bool(), [](const auto& info) {
  return info.param ? "OneFlowFile" : "TwoFlowFiles";
});

TEST_F(SmtpDialogueTest, SmallMailBundlesOfTodayWaitForMore) {
  struct Case {
    const char* name;
    std::size_t size;
    bool skipped;
  } cases[] = {
      {"00ec0064.tu0", 100, true},    // a bundle below the minimum
      {"00ec0065.TUE", 100, true},    // 12 characters with the day at 9
      {"00ec0066.mo0", 5000, false},  // big enough
      {"00ec006.mo0", 100, false},    // 11 characters: no bundle
      {"00ec0067.zip", 100, false},   // no day
  };
  std::vector<std::string> lines;
  for (const auto& c : cases)
    lines.push_back(fido.Write(std::string("files/") + c.name, RandomBytes(c.size, 11)));
  const std::string flow = fido.Write("outbound/00ec0064.flo", testing::TextLines(lines));
  for (const auto& line : lines) Add(SendKind::ListedFile, line, flow, 1);
  configuration.MINIMUMMAIL = 1000;
  testing::SmtpServer server;
  ASSERT_TRUE(server.running());
  Send(server);
  EXPECT_FALSE(aborted) << Log();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::string name = cases[i].name;
    EXPECT_EQ(list.Entry(static_cast<int>(i) + 1).State,
              cases[i].skipped ? SendState::Skipped : SendState::Sent)
        << name;
    EXPECT_EQ(Logged("--   Minimum mail size found skipping (" + name + ")"), cases[i].skipped)
        << name;
  }
  EXPECT_EQ(server.Messages().size(), 3u);
}

TEST_F(SmtpDialogueTest, StopDuringTheTransferEndsNoMessageAndKeepsEverything) {
  const std::string file = fido.Write("files/big.bin", RandomBytes(24 * 1024 * 1024, 12));
  const std::string flow_text = file + "\r\n";
  const std::string flow = fido.Write("outbound/00ec0064.flo", flow_text);
  Add(SendKind::ListedFile, file, flow, 1);
  testing::SmtpServer server;
  ASSERT_TRUE(server.running());
  configuration.SMTPPORT = server.port();
  net::NetSession session(core::Side::Sending, send::SmtpEndpoint(configuration), logger);
  std::atomic<bool> done{false};
  std::thread stopper([&] {
    // Stop as soon as the attachment is on its way.
    for (int i = 0; i < 1000 && !done; ++i) {
      if (front_end.HasLineStartingWith(core::Side::Sending, "-- Sending ")) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    session.Abort(net::kStoppedReason);
  });
  net::RunSession(session, [&](net::NetSession& s) { (void)SmtpDialogue(s, list, configuration); });
  done = true;
  stopper.join();
  EXPECT_TRUE(Logged("-- Error sending aborting!")) << Log();
  EXPECT_FALSE(front_end.HasLineStartingWith(core::Side::Sending, "-> QUIT"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(server.Messages().empty());
  EXPECT_EQ(fido.Read("outbound/00ec0064.flo"), flow_text);
  EXPECT_FALSE(fido.Exists("outbound/00ec0064.bsy"));
  EXPECT_EQ(list.Entry(1).State, SendState::Taken);
}

// A flow-file entry to be deleted after sending, and a netmail file attach.
struct BookkeepingCase {
  bool refuse;
};

class SmtpBookkeepingTest : public SmtpDialogueTest,
                            public ::testing::WithParamInterface<BookkeepingCase> {};

TEST_P(SmtpBookkeepingTest, OnlyAConfirmedMessageChangesTheMailersFiles) {
  const bool refuse = GetParam().refuse;
  const std::string bundle = fido.Write("outbound/00ec0064.mo0", RandomBytes(5000, 3));
  const std::string other = fido.Write("files/nodelist.z49", RandomBytes(700, 4));
  const std::string flow_text = "^" + bundle + "\r\n" + other + "\r\n";
  const std::string flow = fido.Write("outbound/00ec0064.flo", flow_text);
  const std::string attached = fido.Write("files/attach.txt", "attached file\n");
  testing::StoredMessage netmail;
  netmail.subject = mime::UpperCase(attached);
  netmail.attribute = fido::kAttrLocal | fido::kAttrFileAttached;
  const std::string msg_bytes = testing::EncodeStoredMessage(netmail);
  const std::string msg = fido.Write("netmail/1.msg", msg_bytes);
  Add(SendKind::ListedFile, bundle, flow, 1, AfterSendAction::Delete);
  Add(SendKind::AttachedFile, attached, msg, 2);

  testing::SmtpServerOptions options;
  options.refuse_data = refuse;
  testing::SmtpServer server(options);
  ASSERT_TRUE(server.running());
  configuration.NETTIMEOUT = 5;
  Send(server);

  if (refuse) {
    // Each refused message holds back its own file only; the job goes on.
    EXPECT_FALSE(aborted);
    EXPECT_TRUE(front_end.HasLineStartingWith(
        core::Side::Sending,
        "-- Refused " + bundle + " for 2:236/100.0 (node100@example.org): 554"))
        << Log();
    EXPECT_EQ(fido.Read("outbound/00ec0064.flo"), flow_text);
    EXPECT_TRUE(fido.Exists("outbound/00ec0064.mo0"));
    EXPECT_EQ(fido.Read("netmail/1.msg"), msg_bytes);
    EXPECT_EQ(list.Entry(1).State, SendState::Skipped);
    EXPECT_EQ(list.Entry(2).State, SendState::Skipped);
    EXPECT_TRUE(server.Messages().empty());
  } else {
    EXPECT_FALSE(aborted) << Log();
    EXPECT_EQ(server.Messages().size(), 2u);
    EXPECT_EQ(fido.Read("outbound/00ec0064.flo"), other + "\r\n");
    EXPECT_FALSE(fido.Exists("outbound/00ec0064.mo0"));
    const auto decoded = testing::DecodeStoredMessage(fido.Read("netmail/1.msg"));
    ASSERT_TRUE(decoded.has_value());
    // The file left the subject; the emptied attach is marked as done.
    EXPECT_EQ(decoded->header.attribute & fido::kAttrFileAttached, 0);
    EXPECT_EQ(decoded->header.subject.rfind("KESTREL - Files sent", 0), 0u);
    EXPECT_EQ(list.Entry(2).State, SendState::Sent);
  }
  EXPECT_FALSE(fido.Exists("outbound/00ec0064.bsy"));
}

INSTANTIATE_TEST_SUITE_P(Outcome, SmtpBookkeepingTest,
                         ::testing::Values(BookkeepingCase{true}, BookkeepingCase{false}),
                         [](const auto& info) {
                           return info.param.refuse ? "Refused" : "Confirmed";
                         });

TEST_F(SmtpDialogueTest, NetmailTextLinesBeginningWithADotArriveUnchanged) {
  testing::StoredMessage netmail;
  netmail.subject = "Dots";
  netmail.text.lines = {"first line", ".hidden behind a dot", "..two dots", ".", "last"};
  const std::string msg = fido.Write("netmail/2.msg", testing::EncodeStoredMessage(netmail));
  Add(SendKind::NetmailText, msg, "", 1);
  testing::SmtpServer server;
  ASSERT_TRUE(server.running());
  Send(server);
  EXPECT_FALSE(aborted) << Log();
  ASSERT_EQ(server.Messages().size(), 1u);
  const std::string body = server.Messages()[0];
  EXPECT_NE(body.find("\r\nfirst line\r\n.hidden behind a dot\r\n..two dots\r\n\r\nlast\r\n"),
            std::string::npos)
      << body;
}

TEST_F(SmtpDialogueTest, BusyNodesAreSkippedAndTheirFilesKept) {
  AddRedirect("2:236/300.0", "node300@example.org", "Node Three Hundred");
  const std::string packet = fido.Write("outbound/00ec0064.out", RandomBytes(100, 5));
  fido.Write("outbound/00ec0064.bsy", std::to_string(getpid()) + "\n");  // a running program
  const std::string file = fido.Write("files/a.zip", RandomBytes(100, 6));
  const std::string flow = fido.Write("outbound/00ec00c8.flo", file + "\r\n");
  fido.Write("outbound/00ec00c8.csy", "");
  // Left behind by a mailer that is gone, untouched for 11 minutes: removed,
  // and the node is served.
  const pid_t ended = testing::EndedProcessId();
  const std::string left = fido.Write("outbound/00ec012c.bsy", std::to_string(ended) + "\n");
  std::filesystem::last_write_time(
      left, std::filesystem::file_time_type::clock::now() - std::chrono::minutes(11));
  const std::string served = fido.Write("outbound/00ec012c.out", RandomBytes(200, 7));
  // The same process id, freshly touched: a mailer on another host at work.
  AddRedirect("2:236/400.0", "node400@example.org", "Node Four Hundred");
  const std::string foreign = fido.Write("outbound/00ec0190.bsy", std::to_string(ended) + "\n");
  const std::string held = fido.Write("outbound/00ec0190.out", RandomBytes(200, 8));
  Add(SendKind::OutboundPacket, packet, "", 1);
  Add(SendKind::ListedFile, file, flow, 2);
  Add(SendKind::OutboundPacket, served, "", 3, AfterSendAction::Delete);
  Add(SendKind::OutboundPacket, held, "", 4, AfterSendAction::Delete);
  testing::SmtpServer server;
  ASSERT_TRUE(server.running());
  Send(server);
  EXPECT_FALSE(aborted);
  EXPECT_EQ(server.Messages().size(), 1u);
  EXPECT_EQ(list.Entry(1).State, SendState::Skipped);
  EXPECT_EQ(list.Entry(2).State, SendState::Skipped);
  EXPECT_EQ(list.Entry(3).State, SendState::Sent);
  EXPECT_EQ(list.Entry(4).State, SendState::Skipped);
  EXPECT_TRUE(fido.Exists("outbound/00ec0190.bsy") && fido.Exists("outbound/00ec0190.out"));
  EXPECT_TRUE(Logged("--   Busy file found skipping (" + fido.File("outbound/00ec00c8.csy") + ")"))
      << Log();
  EXPECT_TRUE(Logged("--   Stale busy flag removed (" + left + ", process " +
                     std::to_string(ended) + " not running here, untouched 10 min)"))
      << Log();
  EXPECT_TRUE(fido.Exists("outbound/00ec0064.bsy"));  // not ours: left alone
  EXPECT_TRUE(fido.Exists("outbound/00ec00c8.flo"));
  EXPECT_FALSE(fido.Exists("outbound/00ec012c.bsy"));
  EXPECT_FALSE(fido.Exists("outbound/00ec012c.out"));
}

TEST_F(SmtpDialogueTest, BusyFlagTakesTheCaseOfTheExistingFile) {
  fido.Write("a/outbound/00ec0064.flo", "");
  fido.Write("b/OUTBOUND/00EC00C8.FLO", "");
  EXPECT_EQ(outbound::BusyFlagName(mime::UpperCase(fido.File("a/outbound/00ec0064.flo")), "BSY"),
            fido.File("a/outbound/00ec0064.bsy"));
  EXPECT_EQ(outbound::BusyFlagName(mime::UpperCase(fido.File("b/OUTBOUND/00EC00C8.FLO")), "BSY"),
            fido.File("b/OUTBOUND/00EC00C8.BSY"));
}

TEST_F(SmtpDialogueTest, CurrentMailReadersTakeEveryMessageAsWritten) {
  configuration.FROM = "J\xC3\xBCrgen M\xC3\xBCller";
  configuration.SENDPAUSE = 0;
  AddRedirect("2:236/300.0", "joerg@example.org", "Smith, J\xC3\xB6rg");
  const std::string blank = fido.Write("files/my file.zip", "blank");
  const std::string umlaut = fido.Write("files/j\xC3\xB6rg.zip", "umlaut");
  const std::string flow = fido.Write("outbound/00ec0064.flo", testing::TextLines({blank, umlaut}));
  Add(SendKind::ListedFile, blank, flow, 3);
  Add(SendKind::ListedFile, umlaut, flow, 1);
  testing::StoredMessage netmail;
  netmail.subject = "\x8F\xE0\xA8\xA2\xA5\xE2";  // CP866
  netmail.text = {{"CHRS: CP866 2"}, {"\x8F\xE0\xA8\xA2\xA5\xE2, Joe"}};
  Add(SendKind::NetmailText, fido.Write("netmail/1.msg", testing::EncodeStoredMessage(netmail)), "",
      1);
  netmail.subject =
      "Gr\x81\xE1"
      "e";  // CP437, no control line
  netmail.text = {{}, {"M\x81ller"}};
  Add(SendKind::NetmailText, fido.Write("netmail/2.msg", testing::EncodeStoredMessage(netmail)), "",
      1);

  testing::SmtpServer server;
  ASSERT_TRUE(server.running());
  Send(server);
  EXPECT_FALSE(aborted) << Log();
  ASSERT_TRUE(server.WaitForMessages(4));
  std::vector<std::map<std::string, std::string>> read;
  for (const auto& file : server.MessageFiles()) {
    const auto items = testing::ReadAsMailReader(file);
    ASSERT_TRUE(items.has_value());
    read.push_back(*items);
  }
  ASSERT_EQ(read.size(), 4u);
  for (auto& items : read) {
    EXPECT_EQ(items["defects"], "");
    EXPECT_FALSE(items["date"].empty());
    EXPECT_TRUE(items["message_id"].ends_with("@example.org>")) << items["message_id"];
    EXPECT_EQ(items["from_name"], "J\xC3\xBCrgen M\xC3\xBCller");
  }
  EXPECT_EQ(read[0]["to_name"], "Smith, J\xC3\xB6rg");
  // Named as on disk, for a TIC's names on a case-sensitive file system.
  EXPECT_EQ(read[0]["filename"], "my file.zip");
  EXPECT_EQ(read[1]["filename"], "j\xC3\xB6rg.zip");
  EXPECT_NE(read[1]["text"].find("File j\xC3\xB6rg.zip (6 bytes)"), std::string::npos);
  EXPECT_EQ(read[2]["subject"], "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  EXPECT_NE(read[2]["text"].find("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, Joe\n"),
            std::string::npos)
      << read[2]["text"];
  EXPECT_EQ(read[3]["subject"],
            "Gr\xC3\xBC\xC3\x9F"
            "e");
  EXPECT_NE(read[3]["text"].find("M\xC3\xBCller\n"), std::string::npos);
  EXPECT_EQ(read[3]["text_charset"], "utf-8");
}

TEST_F(SmtpDialogueTest, WithoutSendPauseMessagesFollowEachOtherAtOnce) {
  // Time stands still: any pause would last until the watchdog's Stop.
  testing::FakeClock clock({2026, 12, 6, 8, 5, 0, 0});
  configuration.SENDPAUSE = 0;
  std::vector<std::string> paths;
  for (int i = 0; i < 10; ++i) {
    paths.push_back(
        fido.Write("files/small" + std::to_string(i) + ".pkt", RandomBytes(50, 20 + i)));
  }
  const std::string flow = fido.Write("outbound/00ec0064.flo", testing::TextLines(paths));
  for (const auto& path : paths) Add(SendKind::ListedFile, path, flow, 1);
  testing::SmtpServer server;
  ASSERT_TRUE(server.running());
  configuration.SMTPPORT = server.port();
  net::NetSession session(core::Side::Sending, send::SmtpEndpoint(configuration), logger);
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 600 && !done; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!done) session.Abort(net::kStoppedReason);
  });
  net::RunSession(session, [&](net::NetSession& s) { (void)SmtpDialogue(s, list, configuration); });
  done = true;
  watchdog.join();
  EXPECT_FALSE(session.IsAborted()) << Log();
  EXPECT_EQ(server.Messages().size(), 10u);
}

// A file listed anew after it went, unchanged or changed: each message gets
// an identifier of its own, and the record of what was sent names the file.
TEST_F(SmtpDialogueTest, AFileQueuedAgainGetsANewMessageId) {
  configuration.SENDPAUSE = 0;
  const std::string file = fido.Write("files/a.zip", RandomBytes(100, 30));
  testing::SmtpServer server;
  ASSERT_TRUE(server.running());
  const auto queue_and_send = [&] {
    list.Clear();
    Add(SendKind::ListedFile, file, fido.Write("outbound/00ec0064.flo", file + "\r\n"), 1);
    Send(server);
    EXPECT_FALSE(aborted) << Log();
  };
  queue_and_send();
  queue_and_send();
  queue_and_send();
  fido.Write("files/a.zip", RandomBytes(101, 30));
  queue_and_send();
  ASSERT_TRUE(server.WaitForMessages(4));
  std::vector<std::string> ids;
  for (const auto& message : server.MessageFiles()) {
    ids.push_back(testing::ReadAsMailReader(message).value()["message_id"]);
  }
  ASSERT_EQ(ids.size(), 4u);
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());
  SentRecord sent;
  std::string error;
  ASSERT_TRUE(sent.Load(std::time(nullptr), error)) << error;
  const SentRecord::Entry* entry = sent.Find(ids[0]);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->path, file);
  EXPECT_EQ(entry->node, "2:236/100.0");
  EXPECT_EQ(entry->addresses, "node100@example.org");
}

// The server took the message but its "250" never came: the file goes again
// with the same identifier, so that the receiving side knows the copy.
TEST_F(SmtpDialogueTest, ARetryAfterALostConfirmationKeepsItsMessageId) {
  configuration.NETTIMEOUT = 5;
  const std::string file = fido.Write("files/a.zip", RandomBytes(100, 31));
  testing::SmtpServer server;
  ASSERT_TRUE(server.running());
  testing::FaultProxy proxy(server.port());
  ASSERT_TRUE(proxy.running());
  testing::FaultPoint cut;
  cut.flow = testing::Flow::ToClient;
  cut.armed_by = "\r\n.\r\n";
  proxy.Arm(cut);
  Add(SendKind::ListedFile, file, fido.Write("outbound/00ec0064.flo", file + "\r\n"), 1);
  Send(proxy.port());
  ASSERT_TRUE(proxy.Fired());
  EXPECT_TRUE(aborted);
  ASSERT_TRUE(server.WaitForMessages(1));
  list.Clear();
  Add(SendKind::ListedFile, file, fido.Write("outbound/00ec0064.flo", file + "\r\n"), 1);
  Send(proxy.port());
  EXPECT_FALSE(aborted) << Log();
  ASSERT_TRUE(server.WaitForMessages(2));
  const auto files = server.MessageFiles();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(testing::ReadAsMailReader(files[0]).value()["message_id"],
            testing::ReadAsMailReader(files[1]).value()["message_id"]);
}

// The file went: a record that cannot be read or written is only told.
TEST_F(SmtpDialogueTest, AnUnusableSentRecordCostsNoFile) {
  const std::string record = SentRecord().path();
  ASSERT_TRUE(std::filesystem::create_directory(record));
  const std::string file = fido.Write("files/a.zip", RandomBytes(100, 32));
  Add(SendKind::ListedFile, file, fido.Write("outbound/00ec0064.flo", file + "\r\n"), 1);
  testing::SmtpServer server;
  ASSERT_TRUE(server.running());
  Send(server);
  EXPECT_FALSE(aborted) << Log();
  EXPECT_EQ(list.Entry(1).State, SendState::Sent);
  EXPECT_TRUE(front_end.HasLineStartingWith(core::Side::Sending, "-- Could not read " + record));
  EXPECT_TRUE(front_end.HasLineStartingWith(core::Side::Sending, "-- Could not write " + record));
}

TEST_F(SmtpDialogueTest, FileThatVanishedIsReportedAndTheNextOneStillGoes) {
  const std::string gone = fido.File("files/gone.zip");
  const std::string file = fido.Write("files/here.zip", RandomBytes(300, 8));
  const std::string flow = fido.Write("outbound/00ec0064.flo", gone + "\r\n" + file + "\r\n");
  Add(SendKind::ListedFile, gone, flow, 1);
  Add(SendKind::ListedFile, file, flow, 1);
  testing::SmtpServer server;
  ASSERT_TRUE(server.running());
  Send(server);
  EXPECT_FALSE(aborted) << Log();
  EXPECT_TRUE(Logged("-- Unable to open " + gone));
  EXPECT_EQ(list.Entry(1).State, SendState::Taken);
  EXPECT_EQ(list.Entry(2).State, SendState::Sent);
  EXPECT_EQ(fido.Read("outbound/00ec0064.flo"), gone + "\r\n");
}

}  // namespace
}  // namespace kestrel::send
