// SPDX-License-Identifier: GPL-2.0-or-later
// Files sent by the send job come back byte-identical through the get job:
// file -> SMTP -> Maildir -> POP3 -> inbound, whole or in pieces.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/jobs.h"
#include "core/link_events.h"
#include "core/log.h"
#include "mime/ascii_text.h"
#include "net/net_session.h"
#include "outbound/send_list.h"
#include "platform/program_home.h"
#include "receive/mime_samples.h"
#include "send/smtp_dialogue.h"
#include "support/fido_files.h"
#include "support/mail_servers.h"
#include "support/mail_shapes.h"
#include "support/program_home_at.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace kestrel::receive {
namespace {

class RoundTripTest : public ::testing::Test {
 protected:
  RoundTripTest() {
    configuration.FROM = "Fido Gate";
    configuration.FROMEMAIL = "gate@example.org";
    configuration.SUBJECT = "FidoNet file $FILENAME$";
    configuration.NETTIMEOUT = 10;
    configuration.HOST = "127.0.0.1";
    config::RedirectEntry redirect;
    redirect.Address = "2:236/100.0";
    redirect.EmailAddress = "node100@example.org";
    redirect.Name = "Node Hundred";
    EXPECT_TRUE(configuration.Redirects.Add(redirect));
    configuration.POPSERVER = "127.0.0.1";
    configuration.INBOUND = fido.MakeDir("inbound") + "/";
    configuration.SAVEEMAIL = fido.MakeDir("saved") + "/";
    configuration.Filters.XMailer = {"KESTREL"};
  }

  // The send job with `contents` as files listed for node 100; the messages
  // as the SMTP server stored them.
  std::vector<std::string> Send(const std::vector<std::string>& contents) {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < contents.size(); ++i) {
      paths.push_back(fido.Write("files/trip" + std::to_string(i) + ".bin", contents[i]));
    }
    const std::string flow = fido.Write("outbound/00ec0064.flo", testing::TextLines(paths));
    outbound::SendList list;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      outbound::SendEntry entry;
      entry.Kind = outbound::SendKind::ListedFile;
      entry.Path = mime::UpperCase(paths[i]);
      entry.ListPath = mime::UpperCase(flow);
      entry.RedirectIndex = 1;
      EXPECT_TRUE(list.Add(entry));
      list.TotalBytes += static_cast<std::int32_t>(contents[i].size());
    }
    EXPECT_TRUE(smtp.running()) << smtp.ServerLog();
    configuration.SMTPPORT = smtp.port();
    net::NetSession session(core::Side::Sending, send::SmtpEndpoint(configuration), logger);
    net::RunSession(session,
                    [&](net::NetSession& s) { (void)send::SmtpDialogue(s, list, configuration); });
    EXPECT_FALSE(session.IsAborted());
    EXPECT_TRUE(smtp.WaitForMessages(1, std::chrono::seconds(60)));
    return smtp.MessageFiles();
  }

  // The get job against a mailbox holding `messages` (files) in that order,
  // then `more` (contents).
  void Get(const std::vector<std::string>& messages, const std::vector<std::string>& more = {}) {
    testing::Pop3Server pop3;
    ASSERT_TRUE(pop3.running()) << pop3.ServerLog();
    for (const auto& message : messages) pop3.AddMessageFile(message);
    for (const auto& message : more) pop3.AddMessage(message);
    configuration.POPPORT = pop3.port();
    configuration.POPUSERNAME = pop3.user();
    configuration.POPPASSWORD = pop3.password();
    app::JobContext context(core::Side::Receiving, configuration, logger);
    logger.OpenLog(core::Side::Receiving);
    EXPECT_FALSE(app::MakeCoreJobs()->RunGetJob(context).aborted());
    logger.CloseLog(core::Side::Receiving);
    EXPECT_TRUE(pop3.RemainingMessages().empty());
  }

  std::size_t LogCount(const std::string& text) const {
    const std::string log = home.Read("RECEIVE.LOG");
    std::size_t count = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
  }

  testing::TempDir home;
  testing::TempDir fido;
  testing::ProgramHomeAt home_at{home.path()};
  testing::RecordingFrontEnd front_end;
  core::Logger logger{front_end, home.path()};
  config::Configuration configuration;
  testing::SmtpServer smtp;
};

TEST_F(RoundTripTest, SentFilesArriveByteIdenticalInTheInbound) {
  home.Write("HEADER.TXT", "File $FILENAME$ ($FILESIZE$ bytes)\n.\n.dotted template line\n");
  const std::vector<std::size_t> sizes = {0, 1, 56, 57, 58, 3 * 1024 * 1024 + 17};
  std::vector<std::string> contents;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    contents.push_back(testing::RandomBytes(sizes[i], static_cast<unsigned>(i + 30)));
  }
  const std::vector<std::string> messages = Send(contents);
  ASSERT_EQ(messages.size(), sizes.size());
  // A bounce of the first message, as a provider's server writes it, comes
  // back too: it names the file that did not arrive.
  configuration.Filters.From = {"NODE100@EXAMPLE.ORG"};
  const std::string first = smtp.Messages().front();
  const auto id_at = first.find("Message-ID: ") + 12;
  const std::string first_id = first.substr(id_at, first.find_first_of("\r\n", id_at) - id_at);
  std::string error;
  const auto bounce = testing::MakeMailShapes(fido.MakeDir("bounce"), {"bounces", first_id}, error);
  ASSERT_TRUE(bounce) << error;
  Get(messages, {bounce->mails.front().content});
  const std::string failed = "-- delivery of " + fido.File("files/trip0.bin") +
                             " to 2:236/100.0 (node100@example.org) failed: 5.1.1 550 5.1.1 "
                             "<node100@example.org>: Recipient address rejected";
  // Cut as every log line is.
  const std::string logged = failed.substr(0, core::kMaxLogLine);
  EXPECT_NE(home.Read("RECEIVE.LOG").find(logged), std::string::npos);
  EXPECT_NE(home.Read("SEND.LOG").find(logged), std::string::npos);
  // The status counts it against the node it went to.
  const std::vector<core::LinkEvent> events = core::ReadLinkEvents(core::LinkEventPath());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, core::LinkEventKind::Bounced);
  EXPECT_EQ(events[0].node, "2:236/100.0");
  EXPECT_EQ(events[0].text, fido.File("files/trip0.bin"));
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const std::string name = "TRIP" + std::to_string(i) + ".BIN";
    EXPECT_TRUE(fido.Read("inbound/" + name) == contents[i]) << name;
  }
  // The template's dotted line is back as it was written, in the saved text.
  EXPECT_NE(fido.Read("saved/00000001.TXT").find("\r\n.dotted template line\r\n"),
            std::string::npos);
}

// The piece number a stored message names in its head.
int PieceNumber(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string head(4096, '\0');
  head.resize(static_cast<std::size_t>(in.read(head.data(), 4096).gcount()));
  const std::size_t at = head.find("number=");
  return at == std::string::npos ? 0 : std::atoi(head.c_str() + at + 7);
}

// 40 MB at a 10 MB limit: the pieces arrive out of order, the first of them
// only on a second run; the set waits (told once a day) and is then joined.
TEST_F(RoundTripTest, AFileSentInPiecesIsJoinedWhole) {
  configuration.MAXMESSAGESIZE = 10'000'000;
  const std::string content = testing::RandomBytes(40'000'000, 41);
  std::vector<std::string> pieces = Send({content});
  ASSERT_GE(pieces.size(), 5u);
  std::sort(pieces.begin(), pieces.end(),
            [](const auto& a, const auto& b) { return PieceNumber(a) > PieceNumber(b); });
  ASSERT_EQ(PieceNumber(pieces.back()), 1);
  const std::string first = pieces.back();
  pieces.pop_back();
  Get(pieces);
  Get({});
  EXPECT_FALSE(fido.Exists("inbound/TRIP0.BIN"));
  EXPECT_EQ(LogCount("of " + std::to_string(pieces.size() + 1) + " here since "), 1u);
  EXPECT_EQ(LogCount(", kept until the rest arrive"), pieces.size());
  Get({first});
  EXPECT_TRUE(fido.Read("inbound/TRIP0.BIN") == content);
  EXPECT_EQ(LogCount("-- Joined " + std::to_string(pieces.size() + 1) + " pieces of "), 1u);
  const std::string spool = home.File(platform::ProgramBaseName() + ".SPL");
  EXPECT_TRUE(std::filesystem::is_empty(spool));
}

}  // namespace
}  // namespace kestrel::receive
