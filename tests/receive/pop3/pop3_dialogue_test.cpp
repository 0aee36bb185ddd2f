// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/pop3/pop3_dialogue.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <map>
#include <thread>

#include "app/jobs.h"
#include "core/log.h"
#include "net/net_session.h"
#include "platform/error_text.h"
#include "platform/program_home.h"
#include "receive/imap/imap_dialogue.h"
#include "receive/intake/header_filter.h"
#include "receive/mime_samples.h"
#include "receive/walk/message_intake.h"
#include "support/mail_servers.h"
#include "support/mail_shapes.h"
#include "support/program_home_at.h"
#include "support/recording_front_end.h"
#include "support/scripted_pop3.h"
#include "support/system_user.h"
#include "support/temp_dir.h"

namespace kestrel::receive {
namespace {

using core::Side;
using testing::SampleMessage;

std::string JoinLf(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// A plain message with the given head lines.
std::string PlainMessage(const std::vector<std::string>& head, const std::string& body = "Hi") {
  std::vector<std::string> lines = head;
  lines.push_back("");
  lines.push_back(body);
  return JoinLf(lines);
}

std::string SenderMessage(const std::string& name, const std::string& content) {
  SampleMessage message;
  message.name = name;
  message.content = content;
  return JoinLf(testing::SenderMessageLines(message));
}

// Records like the test front end and can run an action when a field is set
// (to press Stop or pull the plug at a chosen moment).
class HookedFrontEnd : public testing::RecordingFrontEnd {
 public:
  std::function<void(core::Field, std::string_view)> on_field;
  void SetField(core::Field field, std::string_view text) override {
    RecordingFrontEnd::SetField(field, text);
    if (on_field) on_field(field, text);
  }
};

class Pop3DialogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.running()) << server.ServerLog();
    configuration.POPSERVER = "127.0.0.1";
    configuration.POPPORT = server.port();
    configuration.POPUSERNAME = server.user();
    configuration.POPPASSWORD = server.password();
    configuration.NETTIMEOUT = 10;
    configuration.INBOUND = dir.MakeDir("IN") + "/";
    configuration.SAVEEMAIL = dir.MakeDir("SAVE") + "/";
    configuration.EMAILARRIVED = dir.File("ARRIVED.FLG");
    logger.OpenLog(Side::Receiving);
  }

  // One get job (IMAP when IMAPSERVER is set); true when it ended without Aborted.
  bool Run() {
    const bool imap = !configuration.IMAPSERVER.empty();
    net::NetSession session(
        Side::Receiving, imap ? ImapEndpoint(configuration) : Pop3Endpoint(configuration), logger);
    session_ = &session;
    const net::SessionOutcome outcome = net::RunSession(session, [&](net::NetSession& s) {
      if (imap) {
        RunImapDialogue(s, configuration, imap_waiting);
      } else {
        RunPop3Dialogue(s, configuration);
      }
    });
    session_ = nullptr;
    logger.CloseLog(Side::Receiving);
    incomplete_ = outcome.incomplete();
    misconfigured_ = outcome.misconfigured();
    return !outcome.aborted();
  }

  // Every mail of a set through one get job, with a FROM filter as the
  // README recommends: each file arrives byte-identical under its name, files
  // already there stay untouched, nothing else appears, and the mailbox holds
  // exactly the mails that were not to be taken.
  void RunMailShapes(const std::vector<std::string>& arguments) {
    std::string error;
    const auto shapes = testing::MakeMailShapes(dir.path(), arguments, error);
    ASSERT_TRUE(shapes) << error;
    for (const auto& file : shapes->existing) dir.Write("IN/" + file.name, file.content);
    std::vector<std::string> remaining;
    bool failed = false;
    for (const auto& mail : shapes->mails) {
      server.AddMessage(mail.content);
      if (mail.state != "taken") remaining.push_back(mail.content);
      failed = failed || mail.state == "failed";
    }
    config::LoadFilterFile(dir.Write("KESTREL.FLT", "FROM node100@example.org\n"),
                           configuration.Filters);
    EXPECT_TRUE(Run());
    std::map<std::string, std::string> inbound;
    for (const auto& name : InboundNames()) inbound[name] = dir.Read("IN/" + name);
    for (const auto& file : shapes->existing) {
      EXPECT_TRUE(inbound[file.name] == file.content) << file.name;
      inbound.erase(file.name);
    }
    for (const auto& file : shapes->files) {
      if (shapes->mails[file.mail].state != "taken") continue;
      auto found = inbound.find(file.name);
      if (file.name.front() == '*') {  // a made-up name, with the extension given
        found = std::find_if(inbound.begin(), inbound.end(), [&](const auto& entry) {
          return entry.first.ends_with(file.name.substr(1)) && entry.second == file.content;
        });
      }
      const bool whole = found != inbound.end() && found->second == file.content;
      EXPECT_TRUE(whole) << "mail " << file.mail + 1 << ": " << file.name;
      if (found != inbound.end()) inbound.erase(found);
    }
    EXPECT_TRUE(inbound.empty()) << inbound.size() << " more, " << inbound.begin()->first;
    EXPECT_TRUE(server.RemainingMessages() == remaining)
        << server.RemainingMessages().size() << " left, " << remaining.size() << " expected";
    EXPECT_EQ(incomplete_, failed);
    // A saved text for each mail taken and each set joined; none for a mail
    // that stays.
    std::size_t texts = 0;
    for (const auto& entry : std::filesystem::directory_iterator(configuration.SAVEEMAIL)) {
      texts += entry.path().extension() == ".TXT";
    }
    EXPECT_EQ(texts, shapes->mails.size() - remaining.size() + shapes->joined);
  }

  std::vector<std::string> InboundNames() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(configuration.INBOUND)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  bool Logged(const std::string& line) const { return front_end.HasLine(Side::Receiving, line); }
  // The pane line after each one equal to `line`: what went out, or came
  // back, next.
  std::vector<std::string> LinesAfter(const std::string& line) const {
    const auto lines = front_end.Lines(Side::Receiving);
    std::vector<std::string> after;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
      if (lines[i] == line) after.push_back(lines[i + 1]);
    }
    return after;
  }
  std::string LogFile() const { return dir.Read("RECEIVE.LOG"); }

  testing::TempDir dir;
  testing::ProgramHomeAt home{dir.path()};
  HookedFrontEnd front_end;
  core::Logger logger{front_end, dir.path()};
  testing::Pop3Server server;
  config::Configuration configuration;
  net::NetSession* session_ = nullptr;
  bool incomplete_ = false;
  bool misconfigured_ = false;
  ImapWaiting imap_waiting;
};

TEST(ParseStatReplyTest, CountsAMailboxPastTwoGibibytes) {
  EXPECT_EQ(ParseStatReply("+OK 2 5000000000").bytes, 5'000'000'000u);
}

TEST_F(Pop3DialogueTest, EmptyMailboxStillWritesTheNumberAndQuits) {
  ASSERT_TRUE(WriteHighestNumber(configuration.SAVEEMAIL, 7));
  EXPECT_TRUE(Run());
  EXPECT_TRUE(Logged("<- No messages waiting"));
  EXPECT_TRUE(Logged("-- Messages waiting: 0 (0b)"));
  EXPECT_TRUE(Logged("-> QUIT"));
  EXPECT_NE(LogFile().find("-> PASS [PASSWORD]"), std::string::npos);
  EXPECT_EQ(LogFile().find(server.password()), std::string::npos);
  EXPECT_EQ(ReadHighestNumber(configuration.SAVEEMAIL), 7);
  EXPECT_FALSE(dir.Exists("ARRIVED.FLG"));
}

TEST_F(Pop3DialogueTest, WrongPasswordEndsBeforeTheWalk) {
  configuration.POPPASSWORD = "wrong";
  EXPECT_TRUE(Run());  // the server is told QUIT
  EXPECT_TRUE(front_end.HasLineStartingWith(Side::Receiving, "-- Login refused: -ERR"));
  EXPECT_FALSE(Logged("-> STAT"));
  EXPECT_TRUE(Logged("-> QUIT"));
  EXPECT_FALSE(dir.Exists("SAVE/HIGHEST.DAT"));
}

// Which messages the filters take; taken ones are deleted, the rest stay.
TEST_F(Pop3DialogueTest, FiltersDecideWhatIsTakenAndDeleted) {
  const std::vector<std::string> messages = {
      PlainMessage({"From: Bob Smith <bob@example.org>", "To: a@example.org", "Subject: one"}),
      PlainMessage({"From: Alice <alice@example.org>", "Reply-To: bob@example.org",
                    "To-do: point@example.org", "Subject: two"}),
      PlainMessage(
          {"From: Carol <c@example.org>", "To: Point <point@example.org>", "Subject: three"}),
      PlainMessage({"From: Dave <d@example.org>", "X-Mailer: Kestrel 2.0", "Subject: four"}),
      PlainMessage({"From: Eve <e@example.org>", "Subject: Files for 2:280/5555"}),
  };
  const struct {
    std::string filter_file;  // "" : no filter file at all
    std::vector<int> taken;   // 1-based
  } cases[] = {
      {"", {}},
      {"@ALL\n", {1, 2, 3, 4, 5}},
      {"; comment\nFROM bob\n", {1}},
      {"TO point@\n", {3}},
      {"XMAILER kestrel\n", {4}},
      {"SUBJECT files for\n", {5}},
      // Written the way mail headers are, and with blanks after the value.
      {"From: bob@example.org  \t\nTO:point@\n", {1, 3}},
  };
  for (const auto& c : cases) {
    // One server for every case: the mailbox is emptied and filled anew.
    for (const char* sub : {"/new", "/cur"}) {
      for (const auto& entry : std::filesystem::directory_iterator(server.maildir() + sub)) {
        std::filesystem::remove(entry.path());
      }
    }
    for (const auto& message : messages) server.AddMessage(message);
    configuration.Filters.Clear();
    if (!c.filter_file.empty()) {
      config::LoadFilterFile(dir.Write("KESTREL.FLT", c.filter_file), configuration.Filters);
    }
    front_end.ClearPane(Side::Receiving);
    logger.OpenLog(Side::Receiving);
    EXPECT_TRUE(Run()) << c.filter_file;
    std::vector<std::string> expected_remaining;
    for (int i = 1; i <= 5; ++i) {
      const bool taken = std::find(c.taken.begin(), c.taken.end(), i) != c.taken.end();
      EXPECT_EQ(Logged("-- Message " + std::to_string(i) + " matched filter"), taken)
          << c.filter_file;
      EXPECT_EQ(Logged("-- Skipping message " + std::to_string(i)), !taken) << c.filter_file;
      // dovecot offers PIPELINING: TOP, and RETR, go out with the LIST.
      const std::string n = std::to_string(i);
      std::vector<std::string> after_list = {"-> TOP " + n + " 1"};
      if (taken) after_list.push_back("-> RETR " + n);
      EXPECT_EQ(LinesAfter("-> LIST " + n), after_list) << c.filter_file;
      if (!taken) expected_remaining.push_back(messages[i - 1]);
    }
    EXPECT_EQ(server.RemainingMessages().size(), expected_remaining.size()) << c.filter_file;
    EXPECT_EQ(dir.Exists("ARRIVED.FLG"), !c.taken.empty());
    std::filesystem::remove(dir.File("ARRIVED.FLG"));
  }
}

// A provider's From: comes after dozens of trace lines; a head beyond the
// cap is skipped whole, and the next message gets its own replies.
TEST_F(Pop3DialogueTest, EveryHeadLineIsLookedAtUpToTheCap) {
  std::vector<std::string> head;
  for (int i = 1; i <= 39; ++i) head.push_back("X-Trace-" + std::to_string(i) + ": hop");
  head.push_back("From: Bob <bob@example.org>");
  server.AddMessage(PlainMessage(head));
  std::vector<std::string> endless(120'000, "Received: from relay");
  endless.push_back("From: Bob <bob@example.org>");
  server.AddMessage(PlainMessage(endless));
  server.AddMessage(PlainMessage({"From: Bob <bob@example.org>", "Subject: third"}));
  config::LoadFilterFile(dir.Write("KESTREL.FLT", "FROM BOB\n"), configuration.Filters);
  EXPECT_TRUE(Run());
  EXPECT_TRUE(incomplete_);
  EXPECT_TRUE(Logged("-- Message 1 matched filter"));
  EXPECT_TRUE(Logged("-- Head of message 2 longer than 1000 lines, skipped"));
  EXPECT_TRUE(Logged("-- Message 3 matched filter"));
  EXPECT_TRUE(front_end.HasLineStartingWith(Side::Receiving, "<- +OK 3 "));  // LIST 3's own reply
  EXPECT_EQ(server.RemainingMessages().size(), 1u);
}

TEST_F(Pop3DialogueTest, SavedTextsAreNumberedOnFromHighestDat) {
  ASSERT_TRUE(WriteHighestNumber(configuration.SAVEEMAIL, 41));
  dir.Write("SAVE/00000043.TXT", "keep me");
  configuration.Filters.AcceptAll = true;
  const std::string first = PlainMessage({"Subject: a"}, "..leading dot\n.\n..\nend");
  server.AddMessage(first);
  server.AddMessage(PlainMessage({"Subject: b"}));
  EXPECT_TRUE(Run());
  EXPECT_EQ(ReadHighestNumber(configuration.SAVEEMAIL), 44);
  EXPECT_EQ(dir.Read("SAVE/00000043.TXT"), "keep me");
  // The saved text holds the message as it was written, dots and all.
  std::string expected = first;
  for (auto at = expected.find('\n'); at != std::string::npos; at = expected.find('\n', at + 2)) {
    expected.replace(at, 1, "\r\n");
  }
  const std::string saved = dir.Read("SAVE/00000042.TXT");
  EXPECT_NE(saved.find("Subject: a\r\n"), std::string::npos);
  EXPECT_EQ(saved.substr(saved.size() - 30), expected.substr(expected.size() - 30));
  EXPECT_TRUE(dir.Exists("SAVE/00000044.TXT"));
  // Others' mail: for the owner's eyes only.
  struct stat info {};
  ASSERT_EQ(::stat(dir.File("SAVE/00000042.TXT").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_TRUE(server.RemainingMessages().empty());
}

// After the last number of eight digits the saved texts start again at 1.
TEST_F(Pop3DialogueTest, SavedTextNumbersStartAgainAfterTheLast) {
  ASSERT_TRUE(WriteHighestNumber(configuration.SAVEEMAIL, 99'999'999));
  configuration.Filters.AcceptAll = true;
  server.AddMessage(PlainMessage({"Subject: a"}));
  EXPECT_TRUE(Run());
  EXPECT_TRUE(dir.Exists("SAVE/00000001.TXT"));
  EXPECT_EQ(ReadHighestNumber(configuration.SAVEEMAIL), 1);
}

// A save directory (or home) the run cannot write is the set-up's fault: one
// line, before any message is fetched, and the configuration's exit status.
TEST_F(Pop3DialogueTest, UnwritableSaveDirectoryLeavesEveryMessageOnTheServer) {
  configuration.Filters.AcceptAll = true;
  server.AddMessage(SenderMessage("ONE.ZIP", "one"));
  server.AddMessage(SenderMessage("TWO.ZIP", "two"));
  std::vector<std::string> unwritable = {"MISSING"};
  // Root writes any directory.
  if (::geteuid() != 0 && ::chmod(dir.MakeDir("READONLY").c_str(), 0500) == 0)
    unwritable.push_back("READONLY");
  for (const std::string& name : unwritable) {
    configuration.SAVEEMAIL = dir.File(name) + "/";
    logger.OpenLog(Side::Receiving);
    EXPECT_TRUE(Run());
    EXPECT_TRUE(misconfigured_) << name;
    const auto lines = front_end.Lines(Side::Receiving);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& line) {
                              return line.starts_with("-- SaveEmail directory " + dir.File(name) +
                                                      " cannot be written (");
                            }),
              1)
        << name;
  }
  EXPECT_FALSE(Logged("-> RETR 1"));
  EXPECT_TRUE(Logged("-> QUIT"));
  EXPECT_TRUE(InboundNames().empty());
  EXPECT_EQ(server.RemainingMessages().size(), 2u);
}

TEST_F(Pop3DialogueTest, AttachmentArrivesWholeUnderAFreeName) {
  const std::string content = testing::RandomBytes(200000, 21);
  dir.Write("IN/FILE.ZIP", "a");
  dir.Write("IN/FILE_1.ZIP", "b");
  server.AddMessage(SenderMessage("FILE.ZIP", content));
  // Of the same name, in the same batch: the first one's hidden file stays.
  server.AddMessage(SenderMessage("FILE.ZIP", "second"));
  configuration.Filters.AcceptAll = true;
  // A root run leaves what it writes to the owner of the mailer's directories.
  const auto mailer = testing::UnprivilegedUser("kestrel-mailer");
  if (mailer) {
    for (const char* sub : {"IN", "SAVE"}) {
      ASSERT_EQ(::chown(dir.File(sub).c_str(), mailer->uid, mailer->gid), 0);
    }
  }
  EXPECT_TRUE(Run());
  if (mailer) {
    for (const char* file : {"IN/FILE_2.ZIP", "SAVE/00000001.TXT", "SAVE/HIGHEST.DAT"}) {
      struct stat info {};
      ASSERT_EQ(::stat(dir.File(file).c_str(), &info), 0) << file;
      EXPECT_EQ(info.st_uid, mailer->uid) << file;
    }
  }
  EXPECT_TRUE(dir.Read("IN/FILE_2.ZIP") == content);
  EXPECT_EQ(dir.Read("IN/FILE.ZIP"), "a");
  EXPECT_EQ(dir.Read("IN/FILE_3.ZIP"), "second");
  EXPECT_NE(
      LogFile().find("-- Received " + dir.File("IN/FILE_2.ZIP") + " (200000 bytes), message 1"),
      std::string::npos);
  EXPECT_TRUE(Logged("-- Decoding FILE.ZIP"));
  EXPECT_TRUE(Logged("-- File already existed, renaming to FILE_2.ZIP"));
  EXPECT_TRUE(Logged("-- File decoded"));
  // Lines made while the data flows reach the pane but not the log file.
  EXPECT_EQ(LogFile().find("-- Decoding"), std::string::npos);
  EXPECT_NE(LogFile().find("-> DELE 1"), std::string::npos);
  EXPECT_TRUE(server.RemainingMessages().empty());
  EXPECT_TRUE(dir.Exists("ARRIVED.FLG"));
}

// A Stop between messages ends with QUIT, so that what was saved leaves the
// server; inside a message it cuts the connection, and the journal keeps the
// next run from saving the first messages again. Either way every file
// arrives exactly once.
TEST_F(Pop3DialogueTest, StopDuringFiveMessagesLeavesEachFileForExactlyOneRun) {
  const struct {
    const char* name;
    core::Field field;
    const char* text;
    std::size_t left_after_stop;
    bool quit;
  } cases[] = {
      {"after message 3", core::Field::GetCurrentMsg, "4", 2, true},
      {"inside message 3", core::Field::GetFilename, "F3.ZIP", 5, false},
  };
  configuration.Filters.AcceptAll = true;
  std::vector<std::string> files;
  for (int i = 1; i <= 5; ++i) files.push_back("F" + std::to_string(i) + ".ZIP");
  for (const auto& c : cases) {
    for (const auto& name : files) {
      // The first the largest: its comparison on the next run is bounded by
      // its own LIST size, not by the last one read with the heads.
      const std::size_t size = (name == files.front() ? 256 : 64) * 1024;
      server.AddMessage(SenderMessage(name, testing::RandomBytes(size, name.size())));
    }
    front_end.on_field = [&](core::Field field, std::string_view text) {
      if (field == c.field && text == c.text && session_) session_->RequestStop();
    };
    logger.OpenLog(Side::Receiving);
    EXPECT_EQ(Run(), c.quit) << c.name;
    EXPECT_EQ(Logged("-> QUIT"), c.quit) << c.name;
    EXPECT_EQ(server.RemainingMessages().size(), c.left_after_stop) << c.name;
    front_end.on_field = nullptr;
    logger.OpenLog(Side::Receiving);
    EXPECT_TRUE(Run()) << c.name;
    EXPECT_EQ(InboundNames(), files) << c.name;
    EXPECT_TRUE(server.RemainingMessages().empty()) << c.name;
    EXPECT_EQ(Logged("-- Message 1 already received, deleting"), !c.quit) << c.name;
    for (const auto& name : files) std::filesystem::remove(dir.File("IN/" + name));
    front_end.ClearPane(Side::Receiving);
  }
}

// A sender that sends a file again (its confirmation was lost) sends the same
// Message-ID: the copy is deleted, not saved a second time.
TEST_F(Pop3DialogueTest, AResentMessageIsDeletedNotSavedAgain) {
  const std::string mail =
      "Message-ID: <again.0001@example.org>\n" + SenderMessage("AGAIN.PKT", "packet");
  server.AddMessage(mail);
  server.AddMessage(mail);
  configuration.Filters.AcceptAll = true;
  EXPECT_TRUE(Run());
  EXPECT_EQ(InboundNames(), std::vector<std::string>{"AGAIN.PKT"});
  EXPECT_TRUE(Logged("-- Message 2 already received, deleting"));
  EXPECT_TRUE(server.RemainingMessages().empty());
  // A journal that cannot be read is no reason to take everything again.
  dir.Write(platform::ProgramBaseName() + ".JNL", "not a journal\n");
  server.AddMessage(mail);
  EXPECT_TRUE(Run());
  EXPECT_TRUE(incomplete_);
  EXPECT_TRUE(front_end.HasLineStartingWith(Side::Receiving, "-- Could not read "));
  EXPECT_EQ(server.RemainingMessages().size(), 1u);
}

TEST_F(Pop3DialogueTest, ServerGoneInTheMiddleOfAnAttachment) {
  server.AddMessage(SenderMessage("BIG.ZIP", testing::RandomBytes(16 * 1024 * 1024, 3)));
  configuration.Filters.AcceptAll = true;
  front_end.on_field = [this](core::Field field, std::string_view text) {
    if (field == core::Field::GetFilename && text == "BIG.ZIP") server.Stop();
  };
  EXPECT_FALSE(Run());
  EXPECT_TRUE(InboundNames().empty());
  EXPECT_TRUE(Logged("-- Attachment BIG.ZIP incomplete, removed"));
  EXPECT_FALSE(Logged("-> DELE 1"));
  EXPECT_EQ(server.RemainingMessages().size(), 1u);
}

TEST_F(Pop3DialogueTest, FullDiskKeepsTheMessageOnTheServer) {
  server.AddMessage(SenderMessage("FULL.ZIP", testing::RandomBytes(400000, 4)));
  server.AddMessage(PlainMessage({"Subject: later"}));
  configuration.Filters.AcceptAll = true;
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 200000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool ended_cleanly = Run();
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
  EXPECT_TRUE(ended_cleanly);
  EXPECT_TRUE(Logged("-- Message 1 left on the server"));
  EXPECT_FALSE(Logged("-> DELE 1"));
  // Message 2's data, asked for with message 1's, is read and dropped.
  EXPECT_FALSE(Logged("-- Message 2 matched filter"));
  EXPECT_TRUE(Logged("-> QUIT"));
  EXPECT_TRUE(InboundNames().empty());
  EXPECT_EQ(server.RemainingMessages().size(), 2u);
}

// A batch whose journal entries cannot be written stays on the server
// whole: its files and saved texts go again, nothing is deleted, and the
// next run takes each message once.
TEST_F(Pop3DialogueTest, UnwritableJournalKeepsTheWholeBatchOnTheServer) {
  for (const char* name : {"B1.PKT", "B2.PKT"}) server.AddMessage(SenderMessage(name, name));
  configuration.Filters.AcceptAll = true;
  const std::string journal = dir.File(platform::ProgramBaseName() + ".JNL");
  // Read before the walk, then no file an entry can be appended to.
  front_end.on_field = [&](core::Field field, std::string_view text) {
    if (field == core::Field::GetCurrentMsg && text == "1")
      std::filesystem::create_directory(journal);
  };
  EXPECT_TRUE(Run());
  for (const char* n : {"1", "2"}) {
    EXPECT_TRUE(Logged("-- Could not write " + journal + ": " + platform::ErrorText(EISDIR) +
                       ", message " + n + " left on the server"));
  }
  EXPECT_FALSE(Logged("-> DELE 1"));
  EXPECT_EQ(server.RemainingMessages().size(), 2u);
  EXPECT_TRUE(InboundNames().empty());
  EXPECT_FALSE(dir.Exists("SAVE/00000001.TXT"));
  EXPECT_EQ(ReadHighestNumber(configuration.SAVEEMAIL), 0);

  front_end.on_field = nullptr;
  std::filesystem::remove(journal);
  EXPECT_TRUE(Run());
  EXPECT_EQ(InboundNames(), (std::vector<std::string>{"B1.PKT", "B2.PKT"}));
  EXPECT_TRUE(server.RemainingMessages().empty());
}

TEST_F(Pop3DialogueTest, GetJobTakesMailAndHonoursAnEarlyStop) {
  server.AddMessage(SenderMessage("JOB.PKT", "packet"));
  configuration.Filters.AcceptAll = true;
  {
    app::JobContext stopped(Side::Receiving, configuration, logger);
    stopped.Abort();
    const app::JobOutcome outcome = app::MakeCoreJobs()->RunGetJob(stopped);
    EXPECT_TRUE(outcome.aborted());
    EXPECT_EQ(outcome.abort_reason(), net::kStoppedReason);
    EXPECT_EQ(server.RemainingMessages().size(), 1u);
  }
  app::JobContext context(Side::Receiving, configuration, logger);
  EXPECT_EQ(app::MakeCoreJobs()->RunGetJob(context).kind(), net::SessionOutcome::Kind::Done);
  EXPECT_EQ(dir.Read("IN/JOB.PKT"), "packet");
  EXPECT_TRUE(server.RemainingMessages().empty());
}

// Data that stops flowing without the connection closing: the reader gives
// up after NETTIMEOUT, and the message is neither deleted nor half-written.
TEST_F(Pop3DialogueTest, StalledDataTimesOut) {
  SampleMessage message;
  message.content = testing::RandomBytes(100000, 5);
  const auto lines = testing::SenderMessageLines(message);
  const std::string partial = testing::JoinCrLf({lines.begin(), lines.begin() + 40});
  testing::ScriptedPop3 peer([&](const std::string& command) -> testing::ScriptedPop3::Answer {
    if (command == "STAT") return {"+OK 1 140000\r\n"};
    if (command.rfind("TOP", 0) == 0) return {"+OK\r\nFrom: x@example.org\r\n.\r\n"};
    if (command.rfind("RETR", 0) == 0) {
      return {"+OK 140000 octets\r\n" + partial, testing::ScriptedPop3::After::Stall};
    }
    if (command == "LIST 1") return {"+OK 1 140000\r\n"};
    return {"+OK\r\n"};
  });
  configuration.POPPORT = peer.port();
  configuration.NETTIMEOUT = 2;
  configuration.Filters.AcceptAll = true;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Run());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  const auto commands = peer.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "DELE 1"), 0);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "RETR 1"), 1);
  EXPECT_TRUE(InboundNames().empty());
}

TEST_F(Pop3DialogueTest, WithoutAnInboundFilesGoToTheHomeAndTheJobSaysSo) {
  configuration.INBOUND.clear();
  configuration.Filters.AcceptAll = true;
  server.AddMessage(SenderMessage("HOME.PKT", "packet"));
  EXPECT_TRUE(Run());
  EXPECT_NE(LogFile().find("-- No INBOUND set, files go to " + dir.path() + "/\r\n"),
            std::string::npos);
  EXPECT_EQ(dir.Read("HOME.PKT"), "packet");
}

// Mails as clients, providers and gateways send them (nested multiparts,
// forwarded messages, a body that is the file, RFC 2231 and RFC 2047 names,
// quoted-printable, 7bit text, uuencode, names already taken); the two whose
// part cannot be saved stay on the server, and the walk goes on past them.
TEST_F(Pop3DialogueTest, RealWorldShapesArriveWholeOrStayOnTheServer) {
  RunMailShapes({"shapes"});
  const std::string log = LogFile();
  for (const char* line : {"-- Part 1 (..): no usable file name can be made of it",
                           "-- Message 7 left on the server (<unusable.name@example.org>)",
                           "-- Part 1 (packed.pkt): unknown transfer encoding x-gzip64",
                           "-- Part 2 has no name, saved as 00000009-2.bin"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

// Random MIME trees: nesting, encodings, name forms and line ends.
TEST_F(Pop3DialogueTest, RandomMimeTreesArriveWhole) {
  const char* seed = std::getenv("KESTREL_MIME_SEED");
  RunMailShapes({"random", seed ? seed : "2024", "25"});
}

// The same mailbox over IMAP.
class ImapDialogueTest : public Pop3DialogueTest {
 protected:
  void SetUp() override {
    Pop3DialogueTest::SetUp();
    configuration.IMAPSERVER = "127.0.0.1";
    configuration.IMAPPORT = server.imap_port();
    configuration.IMAPUSERNAME = server.user();
    configuration.IMAPPASSWORD = server.password();
  }

  // Waits (bounded) for `check`.
  static bool Eventually(const std::function<bool()>& check, std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!check()) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
};

TEST_F(ImapDialogueTest, RealWorldShapesArriveWholeOrStayInTheFolder) {
  RunMailShapes({"shapes"});
  const std::string log = LogFile();
  EXPECT_NE(log.find("AUTHENTICATE PLAIN [credentials]"), std::string::npos);
  EXPECT_EQ(log.find(server.password()), std::string::npos);
  // The heads of the folder in one FETCH of a set.
  EXPECT_NE(log.find(" UID FETCH 1:"), std::string::npos);
  EXPECT_NE(log.find(" BODY.PEEK[HEADER]"), std::string::npos);
}

TEST_F(ImapDialogueTest, WrongPasswordEndsBeforeTheFolder) {
  configuration.IMAPPASSWORD = "wrong";
  EXPECT_TRUE(Run());  // the server is told LOGOUT
  EXPECT_TRUE(incomplete_);
  EXPECT_TRUE(front_end.HasLineStartingWith(Side::Receiving, "-- Login refused: A0002 NO"));
  EXPECT_TRUE(Logged("-> A0003 LOGOUT"));
  EXPECT_FALSE(dir.Exists("SAVE/HIGHEST.DAT"));
}

// Only what was taken leaves: what another client marked deleted stays
// (no bare EXPUNGE), and what the filters do not take stays unseen.
TEST_F(ImapDialogueTest, OtherClientsMarksAndSkippedMailStayUntouched) {
  server.AddMessage(SenderMessage("TAKEN.PKT", "packet"));
  server.AddMessage(PlainMessage({"From: someone@example.org", "Subject: not ours"}));
  server.AddMessage(SenderMessage("MARKED.PKT", "marked"));
  ASSERT_EQ(server.ImapClient("print(imap.store('3', '+FLAGS', '\\\\Deleted')[0])"), "OK\n");
  config::LoadFilterFile(dir.Write("KESTREL.FLT", "FROM sysop@example.org\n"),
                         configuration.Filters);
  EXPECT_TRUE(Run());
  EXPECT_FALSE(incomplete_);
  EXPECT_EQ(InboundNames(), std::vector<std::string>{"TAKEN.PKT"});
  EXPECT_TRUE(Logged("-- Message 3 is marked deleted, skipped"));
  for (const std::string& line : front_end.Lines(Side::Receiving)) {
    EXPECT_FALSE(line.starts_with("-> A") && line.ends_with(" EXPUNGE")) << line;
  }
  EXPECT_NE(LogFile().find(" UID EXPUNGE 1"), std::string::npos);
  EXPECT_EQ(server.RemainingMessages().size(), 2u);
  EXPECT_EQ(server.ImapClient("print(imap.search(None, 'UNSEEN')[1][0].decode())"), "1 2\n");
  // With a done folder the taken message moves there instead.
  configuration.IMAPDONEFOLDER = "Done";
  ASSERT_EQ(server.ImapClient("print(imap.create('Done')[0])"), "OK\n");
  server.AddMessage(SenderMessage("MOVED.PKT", "moved"));
  logger.OpenLog(Side::Receiving);
  EXPECT_TRUE(Run());
  EXPECT_EQ(dir.Read("IN/MOVED.PKT"), "moved");
  EXPECT_NE(LogFile().find(" UID MOVE 4 \"Done\""), std::string::npos);
  EXPECT_EQ(server.ImapClient("print(imap.select('Done')[1][0].decode())"), "1\n");
}

// A taken message whose removal failed, then marked deleted by another
// client: the journal knows its UID and its content proves it the one
// taken, so it is expunged, and only it.
TEST_F(ImapDialogueTest, MarkedMessageTakenBeforeIsExpungedAfterComparing) {
  server.AddMessage(SenderMessage("TAKEN.PKT", "packet"));
  const std::string others = PlainMessage({"From: someone@example.org", "Subject: not ours"});
  server.AddMessage(others);
  config::LoadFilterFile(dir.Write("KESTREL.FLT", "FROM sysop@example.org\n"),
                         configuration.Filters);
  configuration.IMAPDONEFOLDER = "Missing\xe9";  // cannot be sent: the message stays
  EXPECT_TRUE(Run());
  EXPECT_EQ(InboundNames(), std::vector<std::string>{"TAKEN.PKT"});
  ASSERT_EQ(server.RemainingMessages().size(), 2u);
  ASSERT_EQ(server.ImapClient("print(imap.store('1:2', '+FLAGS', '\\\\Deleted')[0])"), "OK\n");
  configuration.IMAPDONEFOLDER.clear();
  logger.OpenLog(Side::Receiving);
  EXPECT_TRUE(Run());
  EXPECT_TRUE(
      Logged("-- Message 1 is marked deleted and may have been received before, comparing"));
  EXPECT_TRUE(Logged("-- Message 1 was taken before, expunging"));
  EXPECT_TRUE(Logged("-- Message 2 is marked deleted, skipped"));
  EXPECT_EQ(server.RemainingMessages(), std::vector<std::string>{others});
  EXPECT_EQ(InboundNames(), std::vector<std::string>{"TAKEN.PKT"});
}

// While it idles, a new message is taken within seconds of its arrival.
TEST_F(ImapDialogueTest, IdleTakesNewMailAsItArrives) {
  configuration.Filters.AcceptAll = true;
  imap_waiting.idle_seconds = 120;
  std::thread job([this] { EXPECT_TRUE(Run()); });
  const bool idling =
      Eventually([this] { return Logged("-- Waiting for new mail"); }, std::chrono::seconds(20));
  const auto delivered = std::chrono::steady_clock::now();
  if (idling) server.AddMessage(SenderMessage("IDLE.PKT", "idle"));
  const bool arrived =
      idling && Eventually([this] { return dir.Exists("IN/IDLE.PKT"); }, std::chrono::seconds(30));
  const auto latency = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - delivered);
  if (session_) session_->RequestStop();
  job.join();
  ASSERT_TRUE(arrived);
  std::printf("IDLE: delivery to inbound in %lld ms\n", static_cast<long long>(latency.count()));
  EXPECT_TRUE(imap_waiting.idled);
  EXPECT_TRUE(server.RemainingMessages().empty());
  EXPECT_TRUE(Logged("-> DONE"));
  EXPECT_TRUE(front_end.HasLineStartingWith(Side::Receiving, "-> A0"));
}

}  // namespace
}  // namespace kestrel::receive

namespace kestrel::receive {
namespace {

// A server that goes away while the head lines come: the walk ends there,
// without a saved text for a message that cannot be fetched.
TEST_F(Pop3DialogueTest, ServerGoneDuringTheHeadLines) {
  testing::ScriptedPop3 peer([](const std::string& command) -> testing::ScriptedPop3::Answer {
    if (command == "STAT") return {"+OK 2 300\r\n"};
    if (command.rfind("TOP", 0) == 0) {
      return {"+OK\r\nFrom: x@example.org\r\n", testing::ScriptedPop3::After::Close};
    }
    if (command == "LIST 1") return {"+OK 1 150\r\n"};
    return {"+OK\r\n"};
  });
  configuration.POPPORT = peer.port();
  configuration.Filters.AcceptAll = true;
  EXPECT_FALSE(Run());
  const auto commands = peer.Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "RETR 1"), 0);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "LIST 2"), 0);
  EXPECT_FALSE(dir.Exists("SAVE/00000001.TXT"));
  EXPECT_EQ(ReadHighestNumber(configuration.SAVEEMAIL), 0);
}

}  // namespace
}  // namespace kestrel::receive

namespace kestrel::receive {
namespace {

using Answer = testing::ScriptedPop3::Answer;

// Servers that misbehave: each ends its message, or the run, with a line
// that says what the server did, keeps the message on the server unless it
// was saved, and makes the run report a failure. A server whose replies get
// out of step with the commands (a reply twice, one that names another
// message, data far shorter than LIST said) has nothing more deleted.
TEST_F(Pop3DialogueTest, MisbehavingServersEndWithALineAndLoseNothing) {
  const std::string head = "+OK\r\nFrom: x@example.org\r\n.\r\n";
  const std::string data = "+OK\r\nFrom: x@example.org\r\n\r\nHi\r\n.\r\n";
  const std::string with_file =
      "+OK\r\n" +
      testing::JoinCrLf(testing::SenderMessageLines({.name = "FIRST.PKT", .content = "first"})) +
      ".\r\n";
  const std::string pipelining = "+OK\r\nPIPELINING\r\n.\r\n";
  // The data of RETR n: a message with the file Mn.PKT of `bytes` bytes.
  const auto numbered = [](const std::string& retr, std::size_t bytes = 5) {
    const std::string name = "M" + retr.substr(5) + ".PKT";
    return "+OK\r\n" +
           testing::JoinCrLf(testing::SenderMessageLines(
               {.name = name, .content = testing::RandomBytes(bytes, bytes)})) +
           ".\r\n";
  };
  int lists_of_1 = 0;  // the second LIST 1 goes out with RETR 1
  static constexpr const char* kNoReply = "(no reply)";
  // The server closes, or stops answering, after a reply that ends so.
  static constexpr std::string_view kCut = "(cut)";
  static constexpr std::string_view kStall = "(stall)";
  const struct {
    const char* name;
    std::function<std::string(const std::string&)> reply;  // "" : "+OK"
    std::string line;
    bool aborted = false;  // the server stalls or goes
    std::vector<std::string> never;
    int saved = 0;  // messages saved, their texts numbered from 1
    std::vector<std::string> inbound = {};
    bool in_step = true;  // the reply to QUIT is read as such
    // With PIPELINING, the messages whose RETR ends a send; the RETR of
    // any other goes out with the LIST of the next.
    std::vector<std::string> window_ends = {};
  } cases[] = {
      {"no TOP",
       [](const std::string& c) { return c.starts_with("TOP") ? "-ERR unknown command\r\n" : ""; },
       "-- The server gives no message heads (TOP: -ERR unknown command), nothing taken",
       false,
       {"RETR 1", "TOP 2"},
       0},
      {"RETR refused",
       [&](const std::string& c) -> std::string {
         if (c.starts_with("TOP")) return head;
         return c.starts_with("RETR") ? "-ERR message locked\r\n" : "";
       },
       "-- Message 1 could not be fetched (-ERR message locked), left on the server",
       false,
       {"DELE 1"},
       0},
      {"DELE refused",
       [&](const std::string& c) -> std::string {
         if (c == "STAT") return "+OK 1 200\r\n";
         if (c.starts_with("TOP")) return head;
         if (c.starts_with("RETR")) return data;
         return c.starts_with("DELE") ? "-ERR read-only mailbox\r\n" : "";
       },
       "-- Message 1 could not be deleted on the server (-ERR read-only mailbox)",
       false,
       {},
       1},
      {"STAT counts messages it does not have",
       [&](const std::string& c) -> std::string {
         if (c == "STAT") return "+OK 2147483647 0\r\n";
         if (c == "LIST 2") return "-ERR no such message\r\n";
         if (c.starts_with("TOP")) return head;
         return c.starts_with("RETR") ? data : "";
       },
       "-- The server has no message 2 (-ERR no such message), though it counted 2147483647",
       false,
       {"LIST 3"},
       1},
      {"LIST refused with TOP behind it",
       [&](const std::string& c) -> std::string {
         if (c == "CAPA") return "+OK\r\nPIPELINING\r\n.\r\n";
         if (c == "LIST 2") return "-ERR no such message\r\n";
         if (c.starts_with("TOP")) return head;
         return c.starts_with("RETR") ? data : "";
       },
       "-- The server has no message 2 (-ERR no such message), though it counted 2",
       false,
       {"LIST 3"},
       1},
      {"data without end",
       [&](const std::string& c) -> std::string {
         if (c == "LIST 1") return "+OK 1 1000\r\n";
         if (c.starts_with("TOP")) return head;
         if (!c.starts_with("RETR")) return "";
         std::string endless = data.substr(0, data.size() - 3);
         while (endless.size() < 300'000) endless += std::string(998, 'x') + "\r\n";
         return endless + std::string(kStall);
       },
       "-- Message data longer than 66786 bytes, aborting",
       true,
       {"DELE 1"},
       0},
      {"LIST answered twice",
       [&](const std::string& c) -> std::string {
         if (c == "CAPA") return pipelining;
         if (c == "LIST 2") return "+OK 2 200\r\n+OK 2 200\r\n";
         if (c.starts_with("TOP")) return head;
         return c == "RETR 1" ? with_file : "";
       },
       "-- The reply to TOP 2 1 is a LIST reply (+OK 2 200): the replies are out of step, "
       "nothing more deleted",
       false,
       // The doubt arises among the heads: message 1 is not fetched either.
       {"RETR 1", "DELE 1", "RETR 2", "DELE 2", "LIST 3"},
       0,
       {},
       false},
      {"the LIST with RETR answered twice",
       [&](const std::string& c) -> std::string {
         if (c == "CAPA") return pipelining;
         if (c == "LIST 1" && ++lists_of_1 == 2) return "+OK 1 200\r\n+OK 1 200\r\n";
         if (c.starts_with("TOP")) return head;
         return c == "RETR 1" ? with_file : "";
       },
       "-- The reply to RETR 1 is a LIST reply (+OK 1 200): the replies are out of step, "
       "nothing more deleted",
       false,
       {"DELE 1", "DELE 2"},
       0,
       {},
       false},
      {"a LIST reply naming another message",
       [&](const std::string& c) -> std::string {
         if (c == "LIST 2") return "+OK 3 200\r\n";
         if (c.starts_with("TOP")) return head;
         return c == "RETR 1" ? with_file : "";
       },
       "-- The reply to LIST 2 does not name message 2 (+OK 3 200): the replies are out of step, "
       "nothing more deleted",
       false,
       {"DELE 1", "TOP 2 1", "DELE 2"},
       1,
       {"FIRST.PKT"}},
      {"RETR data far shorter than LIST's size",
       [&](const std::string& c) -> std::string {
         if (c == "CAPA") return pipelining;
         if (c == "LIST 1") return "+OK 1 50000\r\n";
         if (c.starts_with("TOP")) return head;
         return c.starts_with("RETR") ? with_file : "";
       },
       "-- Message 1 came with 539 bytes, LIST gave 50000: the replies are out of step, "
       "nothing more deleted",
       false,
       {"DELE 1", "DELE 2"},
       0,
       {},
       false},
      {"TOP answered with a LIST-shaped reply",
       [&](const std::string& c) -> std::string {
         if (c == "CAPA") return pipelining;
         return c.starts_with("TOP") ? "+OK 1 200\r\n" : "";
       },
       "-- The reply to TOP 1 1 is a LIST reply (+OK 1 200): the replies are out of step, "
       "nothing more deleted",
       false,
       {"RETR 1", "DELE 1", "RETR 2"},
       0,
       {},
       false},
      // The heads of a window go out together: a doubt among them leaves
      // every message of the window on the server, those before it too.
      {"a window's third TOP answered with a LIST reply",
       [&](const std::string& c) -> std::string {
         if (c == "CAPA") return pipelining;
         if (c == "STAT") return "+OK 5 1000\r\n";
         if (c == "TOP 3 1") return "+OK 3 200\r\n";
         if (c.starts_with("TOP")) return head;
         return c.starts_with("RETR") ? with_file : "";
       },
       "-- The reply to TOP 3 1 is a LIST reply (+OK 3 200): the replies are out of step, "
       "nothing more deleted",
       false,
       {"RETR 1", "RETR 2", "RETR 4", "DELE 1", "DELE 2", "DELE 3", "LIST 6"},
       0,
       {},
       false},
      {"a reply missing in the middle of a window",
       [&](const std::string& c) -> std::string {
         if (c == "CAPA") return pipelining;
         if (c == "STAT") return "+OK 5 1000\r\n";
         if (c == "LIST 3") return kNoReply;
         if (c.starts_with("TOP")) return head;
         return c.starts_with("RETR") ? with_file : "";
       },
       "-- The reply to LIST 3 does not name message 3 (+OK): the replies are out of step, "
       "nothing more deleted",
       false,
       {"RETR 1", "RETR 2", "RETR 3", "DELE 1", "DELE 2", "DELE 3", "LIST 6"},
       0,
       {},
       false},
      // The RETRs of the accepted messages go out together, as many as a
      // batch takes by their LIST sizes: a refusal among them costs only its
      // own message.
      {"a window's RETR refused, the windows bounded by the batch",
       [&](const std::string& c) -> std::string {
         if (c == "CAPA") return pipelining;
         if (c == "STAT") return "+OK 4 9000000\r\n";
         if (c == "LIST 1" || c == "LIST 2" || c == "LIST 3")
           return "+OK " + c.substr(5) + " 3000000\r\n";
         if (c.starts_with("TOP")) return head;
         if (c == "RETR 3") return "-ERR message locked\r\n";
         if (c == "RETR 4") return numbered(c);
         return c.starts_with("RETR") ? numbered(c, 1'200'000) : "";
       },
       "-- Message 3 could not be fetched (-ERR message locked), left on the server",
       false,
       {"DELE 3"},
       3,
       {"M1.PKT", "M2.PKT", "M4.PKT"},
       true,
       {"RETR 2", "RETR 4"}},
      {"a window's RETR answered with another message's data",
       [&](const std::string& c) -> std::string {
         if (c == "CAPA") return pipelining;
         if (c == "STAT") return "+OK 5 1000\r\n";
         if (c == "LIST 3") return "+OK 3 50000\r\n";
         if (c.starts_with("TOP")) return head;
         return c.starts_with("RETR") ? numbered(c == "RETR 3" ? "RETR 1" : c) : "";
       },
       "-- Message 3 came with 536 bytes, LIST gave 50000: the replies are out of step, "
       "nothing more deleted",
       false,
       {"DELE 1", "DELE 2", "DELE 3", "DELE 4", "DELE 5"},
       2,
       {"M1.PKT", "M2.PKT"},
       false,
       {"RETR 5"}},
      {"a window's RETR answered twice",
       [&](const std::string& c) -> std::string {
         if (c == "CAPA") return pipelining;
         if (c == "STAT") return "+OK 5 1000\r\n";
         if (c.starts_with("TOP")) return head;
         if (c == "RETR 2") return numbered(c) + numbered(c);
         return c.starts_with("RETR") ? numbered(c) : "";
       },
       "-- The reply to LIST 3 does not name message 3 (+OK): the replies are out of step, "
       "nothing more deleted",
       false,
       {"DELE 1", "DELE 2", "DELE 3", "DELE 4", "DELE 5"},
       2,
       {"M1.PKT", "M2.PKT"},
       false,
       {"RETR 5"}},
      // What was saved stays on the server: the next run compares it and
      // takes the rest once (as a Stop inside a window of dovecot's shows).
      {"the connection cut inside a window",
       [&](const std::string& c) -> std::string {
         if (c == "CAPA") return pipelining;
         if (c == "STAT") return "+OK 5 1000\r\n";
         if (c.starts_with("TOP")) return head;
         if (c == "RETR 3") return numbered(c).substr(0, 300) + std::string(kCut);
         return c.starts_with("RETR") ? numbered(c) : "";
       },
       "-- Message 3 left on the server: its data broke off",
       true,
       {"DELE 1", "DELE 2", "DELE 3", "DELE 4", "DELE 5"},
       2,
       {"M1.PKT", "M2.PKT"},
       false,
       {"RETR 5"}},
  };
  configuration.Filters.AcceptAll = true;
  for (const auto& c : cases) {
    testing::ScriptedPop3 peer([&](const std::string& command) -> Answer {
      std::string reply = c.reply(command);
      if (reply == kNoReply) return {""};
      for (const auto& [mark, after] : {std::pair{kCut, testing::ScriptedPop3::After::Close},
                                        std::pair{kStall, testing::ScriptedPop3::After::Stall}}) {
        if (reply.ends_with(mark)) return {reply.substr(0, reply.size() - mark.size()), after};
      }
      if (command == "STAT" && reply.empty()) reply = "+OK 2 400\r\n";
      if (command.starts_with("LIST ") && reply.empty())
        reply = "+OK " + command.substr(5) + " 200\r\n";
      if (command == "QUIT" && reply.empty()) reply = "+OK bye\r\n";
      if (reply.empty()) reply = "+OK\r\n";
      return {reply};
    });
    configuration.POPPORT = peer.port();
    front_end.ClearPane(Side::Receiving);
    logger.OpenLog(Side::Receiving);
    EXPECT_EQ(Run(), !c.aborted) << c.name;
    EXPECT_TRUE(incomplete_) << c.name;
    EXPECT_TRUE(Logged(c.line)) << c.name;
    // Without PIPELINING each command waits for the reply before it; with
    // it, the walk stays in step up to the reply to QUIT.
    const bool pipelining = c.reply("CAPA").find("PIPELINING") != std::string::npos;
    EXPECT_EQ(LinesAfter("-> LIST 1").at(0).starts_with("-> TOP"), pipelining) << c.name;
    if (!c.window_ends.empty()) {
      for (const auto& line : front_end.Lines(Side::Receiving)) {
        if (!line.starts_with("-> RETR ")) continue;
        const bool ends = std::count(c.window_ends.begin(), c.window_ends.end(), line.substr(3));
        EXPECT_EQ(LinesAfter(line).at(0).starts_with("-> LIST"), !ends) << c.name << line;
      }
    }
    if (!c.aborted && c.in_step) {
      EXPECT_EQ(LinesAfter("-> QUIT"), std::vector<std::string>{"<- +OK bye"}) << c.name;
    }
    EXPECT_EQ(InboundNames(), c.inbound) << c.name;
    for (const auto& file : c.inbound) std::filesystem::remove(dir.File("IN/" + file));
    const auto commands = peer.Commands();
    for (const auto& command : c.never) {
      EXPECT_EQ(std::count(commands.begin(), commands.end(), command), 0) << c.name << command;
    }
    // A message that stays leaves no saved text and no number behind.
    for (int number = 1; number <= c.saved + 1; ++number) {
      const std::string text = "SAVE/0000000" + std::to_string(number) + ".TXT";
      EXPECT_EQ(dir.Exists(text), number <= c.saved) << c.name << text;
      std::filesystem::remove(dir.File(text));
    }
    EXPECT_EQ(ReadHighestNumber(configuration.SAVEEMAIL), c.saved) << c.name;
    std::filesystem::remove(dir.File("SAVE/HIGHEST.DAT"));
    std::filesystem::remove(dir.File(platform::ProgramBaseName() + ".JNL"));
  }
}

// Mails a hostile sender or an odd client sends, through a real server: no
// one of them costs another sender's mail. Each case says what reaches the
// inbound, how many mails stay on the server, and whether the run reports a
// failure; those marked go through IMAP as well, which takes the same rule.
TEST_F(Pop3DialogueTest, HostileAndOddMailCostsNoOtherMail) {
  const std::string packet = testing::RandomBytes(3000, 7);
  std::string binary = testing::RandomBytes(1020, 8);
  for (char& byte : binary) {
    if (byte == '\n' || byte == '\0') byte = '\r';  // lone CRs, no line ends
  }
  const auto with_text = [](const std::string& name, const std::string& content,
                            std::vector<std::string> text) {
    SampleMessage message;
    message.name = name;
    message.content = content;
    message.text = std::move(text);
    return JoinLf(testing::SenderMessageLines(message));
  };
  std::vector<std::string> long_text = {"hello\r."};
  for (int i = 0; i < 80; ++i) long_text.push_back(std::string(998, 'x'));
  const std::string dsn =
      "From: Mail Delivery System <MAILER-DAEMON@example.org>\n"
      "To: sysop@example.org\nSubject: Undelivered Mail Returned to Sender\nMIME-Version: 1.0\n"
      "Content-Type: multipart/report; report-type=delivery-status; boundary=\"B\"\n\n"
      "--B\nContent-Type: text/plain\n\nYour message could not be delivered.\n"
      "--B\nContent-Type: message/delivery-status\n\nReporting-MTA: dns; mx.example.org\n\n"
      "Final-Recipient: rfc822; node100@example.net\nAction: failed\nStatus: 5.1.1\n"
      "Diagnostic-Code: smtp; 550 5.1.1 user unknown\n\n"
      "--B\nContent-Type: message/rfc822\n\nMessage-ID: <sent.1@example.org>\n" +
      SenderMessage("BOUNCED.PKT", packet) + "--B--\n";
  const std::string file_part =
      "--b\nContent-Type: application/octet-stream; name=KEPT.PKT\n"
      "Content-Transfer-Encoding: base64\n\nQUJD\n";
  const struct {
    const char* name;
    std::vector<std::string> mails;
    std::map<std::string, std::string> inbound;
    std::size_t left = 0;
    bool incomplete = false;
    std::string line;
    bool imap = false;
  } cases[] = {
      {"a lone CR before a dot line",
       {with_text("A.PKT", packet, long_text), SenderMessage("B.PKT", "next sender")},
       {{"A.PKT", packet}, {"B.PKT", "next sender"}},
       0,
       false,
       ""},
      {"an old Mac text with a dot line",
       {PlainMessage({"Subject: mac"}, "line one\rline two\r.\rline four"),
        SenderMessage("C.PKT", packet)},
       {{"C.PKT", packet}},
       0,
       false,
       ""},
      {"a binary part with lone CRs",
       {"MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n--b\n"
        "Content-Type: application/octet-stream; name=BIN.DAT\n"
        "Content-Transfer-Encoding: binary\n\n" +
        binary + "\n--b--\n"},
       {{"BIN.DAT", binary}},
       0,
       false,
       ""},
      {"two mails share a Message-ID",
       {"Message-ID: <same@example.org>\n" + SenderMessage("D1.PKT", "one"),
        "Message-ID: <same@example.org>\n" + SenderMessage("D2.PKT", "two")},
       {{"D1.PKT", "one"}, {"D2.PKT", "two"}},
       0,
       false,
       ""},
      {"two mails with an empty Message-ID",
       {"Message-ID: <>\n" + SenderMessage("E.PKT", "first"),
        "Message-ID: <>\n" + SenderMessage("E.PKT", "second")},
       {{"E.PKT", "first"}, {"E_1.PKT", "second"}},
       0,
       false,
       ""},
      {"a prose begin line",
       {PlainMessage({"Subject: prose"}, "begin 644 yourfile.zip\n\nsee you")},
       {},
       0,
       false,
       ""},
      {"a delivery failure report", {dsn}, {}, 0, true, "delivery failure report"},
      {"an mbox From line before the head",
       {"From sysop@example.org Tue Dec  8 02:00:00 2026\n" + SenderMessage("MBOX.PKT", packet)},
       {{"MBOX.PKT", packet}},
       0,
       false,
       "",
       true},
      {"data with no head at all",
       {"Just text, no head\n\nsecond line\n", SenderMessage("AFTER.PKT", "after")},
       {{"AFTER.PKT", "after"}},
       1,
       true,
       "-- The message data begins with no head: \"Just text, no head\"",
       true},
      {"a multipart whose boundary never occurs",
       {"MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=NEVER\n\n" + file_part +
            "--b--\n",
        SenderMessage("NEXT.PKT", "next")},
       {{"NEXT.PKT", "next"}},
       1,
       true,
       "-- Part 1: its boundary NEVER never occurs, its parts unknown",
       true},
      {"a part with a filename that yields nothing",
       {"MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n" + file_part +
        "--b\nContent-Type: application/octet-stream\n"
        "Content-Disposition: attachment; filename=EMPTY.PKT\n"
        "Content-Transfer-Encoding: base64\n\n!!!! ****\n--b--\n"},
       {},
       1,
       true,
       "-- Part 2 (EMPTY.PKT): its data decodes to nothing",
       true},
  };
  configuration.Filters.AcceptAll = true;
  for (const auto& c : cases) {
    for (const bool imap : {false, true}) {
      if (imap && !c.imap) continue;
      const std::string name = std::string(c.name) + (imap ? " (IMAP)" : "");
      configuration.IMAPSERVER = imap ? "127.0.0.1" : "";
      configuration.IMAPPORT = server.imap_port();
      configuration.IMAPUSERNAME = server.user();
      configuration.IMAPPASSWORD = server.password();
      for (const char* sub : {"/new", "/cur"}) {
        for (const auto& entry : std::filesystem::directory_iterator(server.maildir() + sub)) {
          std::filesystem::remove(entry.path());
        }
      }
      std::filesystem::remove(dir.File(platform::ProgramBaseName() + ".JNL"));
      for (const auto& mail : c.mails) server.AddMessage(mail);
      front_end.ClearPane(Side::Receiving);
      logger.OpenLog(Side::Receiving);
      EXPECT_TRUE(Run()) << name;
      EXPECT_EQ(incomplete_, c.incomplete) << name;
      std::map<std::string, std::string> inbound;
      for (const auto& file : InboundNames()) {
        inbound[file] = dir.Read("IN/" + file);
        std::filesystem::remove(dir.File("IN/" + file));
      }
      EXPECT_TRUE(inbound == c.inbound) << name << ": " << inbound.size() << " files, first "
                                        << (inbound.empty() ? "" : inbound.begin()->first) << " of "
                                        << (inbound.empty() ? 0 : inbound.begin()->second.size());
      EXPECT_EQ(server.RemainingMessages().size(), c.left) << name;
      if (!c.line.empty()) {
        EXPECT_NE(LogFile().find(c.line), std::string::npos) << name;
      }
    }
  }
}

// With no inbound the files go to the home: one named like the program's
// own files gets a name of its own, and those files stay as they were.
TEST_F(Pop3DialogueTest, AttachmentsNeverTakeTheProgramsOwnNames) {
  configuration.INBOUND.clear();
  configuration.Filters.AcceptAll = true;
  const std::string base = platform::ProgramBaseName();
  dir.Write("HEADER.TXT", "our header");
  for (const std::string& name : {base + ".JNL", std::string("header.txt"), base + ".flt"}) {
    server.AddMessage(SenderMessage(name, "planted " + name));
  }
  server.AddMessage(SenderMessage("LATER.PKT", "later"));
  EXPECT_TRUE(Run());
  EXPECT_EQ(dir.Read("HEADER.TXT"), "our header");
  EXPECT_FALSE(dir.Exists(base + ".FLT"));
  EXPECT_EQ(dir.Read("LATER.PKT"), "later");
  EXPECT_EQ(dir.Read(base + ".JNL").find("planted"), std::string::npos);
  EXPECT_TRUE(server.RemainingMessages().empty());
}

}  // namespace
}  // namespace kestrel::receive

namespace kestrel::receive {
namespace {

using Answer = testing::ScriptedPop3::Answer;

std::string LoginRecordName() {
  return platform::ProgramBaseName() + ".LGN";
}

// The record of a login `ago` seconds back, with the delay then announced.
std::string LoginRecord(const config::Configuration& configuration, std::int64_t ago, int delay) {
  return configuration.POPUSERNAME + "@127.0.0.1:" + std::to_string(configuration.POPPORT) + "\t" +
         std::to_string(std::time(nullptr) - ago) + "\t" + std::to_string(delay) + "\n";
}

// A server that asks for a pause (too soon after the last login, or the
// mailbox locked by another client): the run says so without calling it a
// refused login, and fails only once the mailbox has stayed unread past
// STALEHOURS.
TEST_F(Pop3DialogueTest, PausedLoginsFailOnlyOnceTheMailboxIsStale) {
  const std::string delay = "-ERR [LOGIN-DELAY] Logins must be at least 1 minute apart";
  const std::string in_use = "-ERR [IN-USE] Mailbox locked by another session";
  const struct {
    const char* name;
    std::string refusal;
    std::int64_t last_login_ago;  // seconds; < 0: never
    int announced_delay;
    std::vector<std::string> lines;
    bool failed;
  } cases[] = {
      {"too soon, delay known",
       delay,
       30,
       60,
       {"-- Login put off: the server allows a login every 60 s (" + delay + ")"},
       false},
      {"too soon, past STALEHOURS",
       delay,
       25 * 3600,
       60,
       {"-- Login put off: the server allows a login every 60 s (" + delay + ")",
        "-- The mailbox has not been read for 25 hours (STALEHOURS 24)"},
       true},
      {"in use",
       in_use,
       600,
       0,
       {"-- Login put off: the mailbox is in use (" + in_use + ")"},
       false},
      {"paused, never read",
       delay,
       -1,
       0,
       {"-- Login put off: the server asks for a pause between logins (" + delay + ")",
        "-- The mailbox has not been read yet"},
       true},
  };
  for (const auto& c : cases) {
    testing::ScriptedPop3 peer([&](const std::string& command) -> Answer {
      if (command.starts_with("PASS")) return {c.refusal + "\r\n"};
      return {command == "QUIT" ? "+OK bye\r\n" : "+OK\r\n"};
    });
    configuration.POPPORT = peer.port();
    std::filesystem::remove(dir.File(LoginRecordName()));
    if (c.last_login_ago >= 0) {
      dir.Write(LoginRecordName(), LoginRecord(configuration, c.last_login_ago, c.announced_delay));
    }
    front_end.ClearPane(Side::Receiving);
    logger.OpenLog(Side::Receiving);
    EXPECT_TRUE(Run()) << c.name;
    EXPECT_EQ(incomplete_, c.failed) << c.name;
    for (const auto& line : c.lines) EXPECT_TRUE(Logged(line)) << c.name << ": " << line;
    EXPECT_FALSE(LogFile().find("Login refused") != std::string::npos) << c.name;
    const auto commands = peer.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "STAT"), 0) << c.name;
    EXPECT_EQ(commands.back(), "QUIT") << c.name;
  }
}

// A poller does not log in before the delay the server announced at the last
// login has passed; once it has, it logs in and keeps the delay announced.
TEST_F(Pop3DialogueTest, APollerWaitsOutTheAnnouncedLoginDelay) {
  testing::ScriptedPop3 peer([](const std::string& command) -> Answer {
    if (command == "CAPA") return {"+OK\r\nLOGIN-DELAY 900\r\n.\r\n"};
    if (command == "STAT") return {"+OK 0 0\r\n"};
    return {command == "QUIT" ? "+OK bye\r\n" : "+OK\r\n"};
  });
  configuration.POPPORT = peer.port();
  const struct {
    std::int64_t last_login_ago;
    bool skipped;
  } rounds[] = {{10, true}, {901, false}};
  for (const auto& round : rounds) {
    dir.Write(LoginRecordName(), LoginRecord(configuration, round.last_login_ago, 900));
    front_end.ClearPane(Side::Receiving);
    logger.OpenLog(Side::Receiving);
    app::JobContext context(Side::Receiving, configuration, logger);
    context.set_poll_interval(60);
    EXPECT_EQ(app::MakeCoreJobs()->RunGetJob(context).kind(), net::SessionOutcome::Kind::Done);
    const auto lines = front_end.Lines(Side::Receiving);
    EXPECT_EQ(std::any_of(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.starts_with(
                                "-- The server allows a login every 900 s: this round is skipped");
                          }),
              round.skipped);
    EXPECT_EQ(peer.Commands().empty(), round.skipped);
  }
  const std::string record = dir.Read(LoginRecordName());
  EXPECT_TRUE(record.ends_with("\t900\n")) << record;
  EXPECT_NE(record, LoginRecord(configuration, 901, 900));
}

}  // namespace
}  // namespace kestrel::receive
