// SPDX-License-Identifier: GPL-2.0-or-later
// IMAPDONEFOLDER as the example writes it ("Fido/Done") against dovecot,
// with its own hierarchy separator and with "/": the folder is created on
// the first move, taken mail lands there in one command, a copy found again
// is moved as well, and the run ends with status 0.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "core/log.h"
#include "net/net_session.h"
#include "receive/imap/imap_dialogue.h"
#include "support/mail_servers.h"
#include "support/program_home_at.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace kestrel::receive {
namespace {

using core::Side;

// A mail carrying a file, laid out by hand as other clients send it.
std::string Mail(const std::string& name) {
  return "From: sysop@example.org\r\nMessage-ID: <" + name +
         "@example.org>\r\nSubject: files\r\nMIME-Version: 1.0\r\n"
         "Content-Type: text/plain\r\n\r\nbegin 644 " +
         name + "\r\n#86)C\r\n`\r\nend\r\n";
}

struct Outcome {
  bool aborted = true;
  bool incomplete = true;
  std::vector<std::string> lines;
  std::vector<std::string> inbound;
};

Outcome RunJob(const testing::Pop3Server& server, testing::TempDir& dir) {
  testing::ProgramHomeAt at{dir.path()};
  testing::RecordingFrontEnd front_end;
  core::Logger logger{front_end, dir.path()};
  config::Configuration configuration;
  configuration.IMAPSERVER = "127.0.0.1";
  configuration.IMAPPORT = server.imap_port();
  configuration.IMAPUSERNAME = server.user();
  configuration.IMAPPASSWORD = server.password();
  configuration.IMAPDONEFOLDER = "Fido/Done";
  configuration.NETTIMEOUT = 10;
  configuration.INBOUND = dir.File("IN") + "/";
  configuration.SAVEEMAIL = dir.File("SAVE") + "/";
  configuration.Filters.AcceptAll = true;
  logger.OpenLog(Side::Receiving);
  net::NetSession session(Side::Receiving, ImapEndpoint(configuration), logger);
  const net::SessionOutcome outcome =
      net::RunSession(session, [&](net::NetSession& s) { RunImapDialogue(s, configuration); });
  logger.CloseLog(Side::Receiving);
  Outcome run{outcome.aborted(), outcome.incomplete(), front_end.Lines(Side::Receiving), {}};
  for (const auto& entry : std::filesystem::directory_iterator(dir.File("IN"))) {
    run.inbound.push_back(entry.path().filename().string());
  }
  std::sort(run.inbound.begin(), run.inbound.end());
  return run;
}

bool Has(const Outcome& run, const std::string& line) {
  return std::find(run.lines.begin(), run.lines.end(), line) != run.lines.end();
}

TEST(ImapDoneFolderTest, ExampleFolderIsCreatedAndFilledOnDovecot) {
  const struct {
    const char* separator;  // dovecot's namespace setting; "": its default
    const char* folder;     // as the server names it
  } cases[] = {{"", "Fido.Done"}, {"/", "Fido/Done"}};
  for (const auto& c : cases) {
    testing::Pop3Server server({.separator = c.separator});
    ASSERT_TRUE(server.running()) << server.ServerLog();
    testing::TempDir dir;
    (void)dir.MakeDir("IN");
    (void)dir.MakeDir("SAVE");
    for (const char* name : {"ONE.PKT", "TWO.PKT", "THREE.PKT"}) server.AddMessage(Mail(name));
    const Outcome first = RunJob(server, dir);
    EXPECT_FALSE(first.aborted) << c.folder;
    EXPECT_FALSE(first.incomplete) << c.folder;
    EXPECT_EQ(first.inbound, (std::vector<std::string>{"ONE.PKT", "THREE.PKT", "TWO.PKT"}))
        << c.folder;
    EXPECT_TRUE(Has(first, std::string("-- Creating folder ") + c.folder)) << c.folder;
    EXPECT_TRUE(Has(first, std::string("-- Messages 1:3 moved to ") + c.folder)) << c.folder;
    EXPECT_TRUE(server.RemainingMessages().empty()) << c.folder;
    // A copy of a message taken before is found again and moved, not saved.
    server.AddMessage(Mail("ONE.PKT"));
    const Outcome second = RunJob(server, dir);
    EXPECT_FALSE(second.incomplete) << c.folder;
    EXPECT_TRUE(Has(second, std::string("-- Message 4 already received, moving it to ") + c.folder))
        << c.folder;
    EXPECT_TRUE(Has(second, std::string("-- Message 4 moved to ") + c.folder)) << c.folder;
    EXPECT_FALSE(Has(second, std::string("-- Creating folder ") + c.folder)) << c.folder;
    EXPECT_EQ(second.inbound.size(), 3u) << c.folder;
    const std::string quoted = std::string("'\"") + c.folder + "\"'";
    EXPECT_EQ(server.ImapClient("print(imap.select(" + quoted + ")[1][0].decode())"), "4\n")
        << c.folder;
  }
}

}  // namespace
}  // namespace kestrel::receive
