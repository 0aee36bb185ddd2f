// SPDX-License-Identifier: GPL-2.0-or-later
// Files sent by the send job come back byte-identical through the get job:
// file -> SMTP -> Maildir -> POP3 -> inbound.

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/jobs.h"
#include "core/log.h"
#include "core/text_utils.h"
#include "mime_samples.h"
#include "net/net_session.h"
#include "outbound/send_list.h"
#include "receive/pop3_dialogue.h"
#include "send/smtp_dialogue.h"
#include "support/fido_files.h"
#include "support/mail_servers.h"
#include "support/mail_shapes.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace kestrel::receive {
namespace {

TEST(RoundTrip, SentFilesArriveByteIdenticalInTheInbound) {
  testing::TempDir home;
  testing::TempDir fido;
  setenv("KESTREL_HOME", home.path().c_str(), 1);
  home.Write("HEADER.TXT", "File $FILENAME$ ($FILESIZE$ bytes)\n.\n.dotted template line\n");
  testing::RecordingFrontEnd front_end;
  core::Logger logger(front_end, home.path());

  config::Configuration configuration;
  configuration.FROM = "Fido Gate";
  configuration.FROMEMAIL = "gate@example.org";
  configuration.SUBJECT = "FidoNet file $FILENAME$";
  configuration.NETTIMEOUT = 10;
  configuration.HOST = "127.0.0.1";
  config::RedirectEntry redirect;
  redirect.Address = "2:236/100.0";
  redirect.EmailAddress = "node100@example.org";
  redirect.Name = "Node Hundred";
  ASSERT_TRUE(configuration.Redirects.Add(redirect));

  const std::vector<std::size_t> sizes = {0, 1, 56, 57, 58, 3 * 1024 * 1024 + 17};
  std::vector<std::string> contents;
  std::vector<std::string> paths;
  outbound::SendList list;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    contents.push_back(testing::RandomBytes(sizes[i], static_cast<unsigned>(i + 30)));
    paths.push_back(fido.Write("files/trip" + std::to_string(i) + ".bin", contents[i]));
  }
  const std::string flow = fido.Write("outbound/00ec0064.flo", testing::TextLines(paths));
  for (const auto& path : paths) {
    outbound::SendEntry entry;
    entry.Kind = outbound::SendKind::ListedFile;
    entry.Path = core::UpperCase(path);
    entry.ListPath = core::UpperCase(flow);
    entry.RedirectIndex = 1;
    ASSERT_TRUE(list.Add(entry));
    list.TotalBytes += static_cast<std::int32_t>(contents.back().size());
  }

  testing::SmtpServer smtp;
  ASSERT_TRUE(smtp.running()) << smtp.ServerLog();
  configuration.SMTPPORT = smtp.port();
  {
    net::NetSession session(core::Side::Sending, send::SmtpEndpoint(configuration), logger);
    net::RunSession(session,
                    [&](net::NetSession& s) { send::SmtpDialogue(s, list, configuration); });
    ASSERT_FALSE(session.IsAborted());
  }
  ASSERT_TRUE(smtp.WaitForMessages(sizes.size()));

  testing::Pop3Server pop3;
  ASSERT_TRUE(pop3.running()) << pop3.ServerLog();
  for (const auto& message : smtp.Messages()) pop3.AddMessage(message);
  configuration.POPSERVER = "127.0.0.1";
  configuration.POPPORT = pop3.port();
  configuration.POPUSERNAME = pop3.user();
  configuration.POPPASSWORD = pop3.password();
  configuration.INBOUND = fido.MakeDir("inbound") + "/";
  configuration.SAVEEMAIL = fido.MakeDir("saved") + "/";
  configuration.Filters.XMailer = {"KESTREL"};
  // A bounce of the first message, as a provider's server writes it, comes
  // back too: it names the file that did not arrive.
  configuration.Filters.From = {"NODE100@EXAMPLE.ORG"};
  const std::string first = smtp.Messages().front();
  const auto id_at = first.find("Message-ID: ") + 12;
  const std::string first_id = first.substr(id_at, first.find_first_of("\r\n", id_at) - id_at);
  std::string error;
  const auto bounce = testing::MakeMailShapes(fido.MakeDir("bounce"), {"bounces", first_id}, error);
  ASSERT_TRUE(bounce) << error;
  pop3.AddMessage(bounce->mails.front().content);
  {
    app::JobContext context(core::Side::Receiving, configuration, logger);
    logger.OpenLog(core::Side::Receiving);
    EXPECT_FALSE(app::MakeCoreJobs()->RunGetJob(context).aborted());
    logger.CloseLog(core::Side::Receiving);
  }
  const std::string failed = "-- delivery of " + paths.front() +
                             " to 2:236/100.0 (node100@example.org) failed: 5.1.1 550 5.1.1 "
                             "<node100@example.org>: Recipient address rejected";
  // Cut as every log line is.
  const std::string logged = failed.substr(0, core::kMaxLogLine);
  EXPECT_NE(home.Read("RECEIVE.LOG").find(logged), std::string::npos);
  EXPECT_NE(home.Read("SEND.LOG").find(logged), std::string::npos);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const std::string name = "TRIP" + std::to_string(i) + ".BIN";
    EXPECT_TRUE(fido.Read("inbound/" + name) == contents[i]) << name;
  }
  EXPECT_TRUE(pop3.RemainingMessages().empty());
  // The template's dotted line is back as it was written, in the saved text.
  EXPECT_NE(fido.Read("saved/00000001.TXT").find("\r\n.dotted template line\r\n"),
            std::string::npos);
  unsetenv("KESTREL_HOME");
}

}  // namespace
}  // namespace kestrel::receive
