// SPDX-License-Identifier: GPL-2.0-or-later
// "kestrel --status", run as the program: what it tells of waiting, held,
// refused, sent and untidied links and of what the filters left on the
// server, as text and as JSON; that it changes no file and writes no log; and
// its exit status with and without stale work.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/link_events.h"
#include "core/run_record.h"
#include "platform/files.h"
#include "send/sent_record.h"
#include "support/fido_files.h"
#include "support/mail_servers.h"
#include "support/program_path.h"
#include "support/temp_dir.h"

namespace kestrel::testing {
namespace {

namespace fs = std::filesystem;

// Reads the document as a monitor would and prints what the test checks.
constexpr const char* kJsonSummary = R"(
import json, sys
doc = json.load(open(sys.argv[1], encoding="utf-8"))
assert doc["schema"] == 1, doc
assert set(doc) >= {"now", "stale_hours", "exit_status", "problems", "links", "receiving", "runs"}
print("status", doc["exit_status"], "stale", doc["stale_hours"], "problems", len(doc["problems"]))
for link in doc["links"]:
    busy = link["busy"]
    print(link["address"], repr(link["name"]), "files", link["files"], "bytes", link["bytes"],
          "oldest", link["oldest_file"] is not None, "sent", link["last_sent"],
          "busy", busy and busy["pid"], "refusals", link["refusals"], repr(link["last_reply"]),
          "untidied", link["untidied"])
r = doc["receiving"]
left = r["left_by_filters"]
print("take", r["last_take"], "entries", r["journal_entries"], "sets", r["piece_sets"],
      "left", left and left["messages"])
print("send", doc["runs"]["send"]["exit_status"], "receive", doc["runs"]["receive"])
)";

class StatusRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = ProgramPath();
    if (!fs::exists(program_)) GTEST_SKIP() << "the program is not built: " << program_;
    home_.MakeDir("home");
    home_.MakeDir("inbound");
    home_.Write("home/KESTREL.FLT", "@ALL\n");
    // 236/200 waits and was refused, 236/300 is held by a live process's
    // flag, 236/400 has its files sent.
    for (const std::uint16_t node : {200, 300}) {
      PacketHeader header;
      header.orig_node = 100;
      header.dest_node = node;
      header.dest_net = 236;
      packets_[node] = home_.Write("outbound/00ec" + Hex(node) + ".out", EncodePacket(header, {}));
    }
    home_.Write("outbound/00ec012c.bsy", std::to_string(getpid()) + "\n");
    home_.Write("home/KESTREL.SNT",
                "1700000000 <a@example.org> 2:236/400.0 n400@example.org /out/x.pkt\n"
                "1700000100 <b@example.org> 2:236/200.0 n200@example.org /out/y.pkt\n");
    home_.Write("home/KESTREL.JNL", "1700000200 fido uid1 <m@example.org> -\n");
    const std::string events = home_.File("home/KESTREL.LNK");
    core::RecordLinkEvent(events, core::LinkEventKind::Refused, "2:236/200.0", "550 no \"such\"");
    core::RecordLinkEvent(events, core::LinkEventKind::Refused, "2:236/200.0", "552 too big");
    core::RecordRunEnd(home_.File("home/KESTREL.RUN"), core::Side::Sending, 0);
    WriteConfiguration("");
  }

  static std::string Hex(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
  }

  void WriteConfiguration(const std::string& extra) {
    home_.Write("home/KESTREL.INI",
                "OURZONE 2\nOUTBOUND " + home_.File("outbound") +
                    "\nHOST 127.0.0.1\nFROMEMAIL sysop@example.org\n"
                    "REDIRECT 236/200 n200@example.org Node \"Q\" \\ \xff\n"
                    "REDIRECT 236/300 n300@example.org Held\n"
                    "REDIRECT 236/400 n400@example.org Sent\n"
                    "POPSERVER 127.0.0.1\nPOPUSERNAME fido\nPOPPASSWORD secret\nINBOUND " +
                    home_.File("inbound") + "\n" + extra);
  }

  CommandResult Run(const std::string& option) {
    return RunCommand({"/usr/bin/env", "KESTREL_HOME=" + home_.File("home"), program_, option},
                      60s);
  }

  // Every file under the home and the outbound, with its size and time.
  std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> Snapshot() const {
    std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> files;
    for (const auto& entry : fs::recursive_directory_iterator(home_.path())) {
      if (entry.is_regular_file()) {
        files[entry.path()] = {entry.file_size(), entry.last_write_time()};
      }
    }
    return files;
  }

  std::string program_;
  TempDir home_;
  std::map<std::uint16_t, std::string> packets_;
};

TEST_F(StatusRunTest, TextAndJsonTellEachLinkAndChangeNothing) {
  const auto before = Snapshot();
  const CommandResult text = Run("--status");
  EXPECT_EQ(text.exit_code, 0) << text.output;
  for (const std::string& expected : std::vector<std::string>{
           "Link 2:236/200.0 -> n200@example.org", "  Waiting: 1 file, 60 bytes",
           "Refused 2 times since, the last at", ": 552 too big\n",
           "Link 2:236/300.0 -> n300@example.org (Held)\n  Waiting: 1 file",
           "outbound/00ec012c.bsy (pid " + std::to_string(getpid()) + ") since",
           "Link 2:236/400.0 -> n400@example.org (Sent)\n  Waiting: 0 files, 0 bytes\n  Last "
           "sent: ",
           "Receiving: last taken ", "journal 1 entry, 39 bytes", "Split messages waiting: 0",
           "Last receive run: none recorded", "Status: 0 (all is well)"}) {
    EXPECT_NE(text.output.find(expected), std::string::npos) << expected << "\n" << text.output;
  }

  const CommandResult json = Run("--status=json");
  EXPECT_EQ(json.exit_code, 0) << json.output;
  home_.Write("status.json", json.output);
  const CommandResult summary = RunCommand({"/usr/bin/env", "PYTHONIOENCODING=utf-8", "python3",
                                            "-c", kJsonSummary, home_.File("status.json")},
                                           30s, true);
  EXPECT_EQ(
      summary.output,
      "status 0 stale 24 problems 0\n"
      "2:236/200.0 'Node \"Q\" \\\\ \xef\xbf\xbd' files 1 bytes 60 oldest True sent 1700000100 "
      "busy None refusals 2 '552 too big' untidied 0\n"
      "2:236/300.0 'Held' files 1 bytes 60 oldest True sent None busy " +
          std::to_string(getpid()) +
          " refusals 0 None untidied 0\n"
          "2:236/400.0 'Sent' files 0 bytes 0 oldest False sent 1700000000 busy None "
          "refusals 0 None untidied 0\n"
          "take 1700000200 entries 1 sets 0 left None\n"
          "send 0 receive None\n")
      << json.output;
  auto after = Snapshot();
  after.erase(home_.File("status.json"));
  EXPECT_EQ(after, before);
}

// What makes the status ask for a look, and what does not.
TEST_F(StatusRunTest, ExitStatusTellsStaleWorkFailedRunsAndUnusableConfiguration) {
  struct Case {
    const char* what;
    int hours_back;  // of the waiting packet of 236/200
    const char* extra_configuration;
    int last_send_status;
    bool untidied;  // the packet went, but could not be deleted
    int expected;
    const char* expected_line;
  };
  const Case cases[] = {
      {"fresh work", 0, "", 0, false, 0, "Status: 0"},
      {"work older than the default", 30, "", 0, false, 1,
       "Stale: 2:236/200.0: files wait for 30 hours"},
      {"work within STALEHOURS", 30, "STALEHOURS 48\n", 0, false, 0,
       "work counts as stale after 48"},
      {"a failed send run", 0, "", 1, false, 1,
       "Stale: the last send run ended with exit status 1"},
      {"an old file sent but not tidied away", 30, "", 0, true, 0,
       "Waiting: 0 files, 0 bytes\n  Sent but not tidied away: 1 file (not sent again)\n"},
      {"an unknown key", 0, "NOSUCHKEY 1\n", 0, false, 2, ""},
  };
  const std::string sent = home_.File("home/KESTREL.SNT");
  const std::string sent_before = home_.Read("home/KESTREL.SNT");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteConfiguration(c.extra_configuration);
    fs::last_write_time(packets_[200],
                        fs::file_time_type::clock::now() - std::chrono::hours(c.hours_back));
    core::RecordRunEnd(home_.File("home/KESTREL.RUN"), core::Side::Sending, c.last_send_status);
    home_.Write("home/KESTREL.SNT", sent_before);
    if (c.untidied) {
      send::SentRecord record(sent);
      std::string error;
      ASSERT_TRUE(record.Load(std::time(nullptr), error)) << error;
      const auto file = platform::IdentifyFile(packets_[200]);
      ASSERT_TRUE(file.has_value());
      ASSERT_TRUE(record.RecordUntidied(
          {0, "<c@example.org>", "2:236/200.0", "n200@example.org", packets_[200]}, file->size,
          file->modified_ns, std::time(nullptr), error))
          << error;
    }
    const CommandResult result = Run("--status");
    EXPECT_EQ(result.exit_code, c.expected) << result.output;
    EXPECT_NE(result.output.find(c.expected_line), std::string::npos) << result.output;
    const CommandResult json = Run("--status=json");
    EXPECT_EQ(json.exit_code, c.expected) << json.output;
    // The scans' lines (the untidied file's among them) reach no log file.
    for (const char* log : {"home/SEND.LOG", "home/RECEIVE.LOG"})
      EXPECT_FALSE(fs::exists(home_.File(log))) << log;
  }
}

// Each job's end is recorded for the status, with the run's exit status.
TEST_F(StatusRunTest, AFailedRunOfEachSideIsTold) {
  const std::string closed = std::to_string(FreeLoopbackPort());
  WriteConfiguration("SMTPPORT " + closed + "\nPOPPORT " + closed + "\nNETTIMEOUT 10\n");
  const CommandResult run = RunCommand({"/usr/bin/env", "KESTREL_HOME=" + home_.File("home"),
                                        program_, "--console", "/AUTO", "/SHUTDOWN"},
                                       60s);
  ASSERT_EQ(run.exit_code, 1) << run.output;
  const CommandResult result = Run("--status");
  EXPECT_EQ(result.exit_code, 1) << result.output;
  for (const char* expected : {"Stale: the last send run ended with exit status 1",
                               "Stale: the last receive run ended with exit status 1"}) {
    EXPECT_NE(result.output.find(expected), std::string::npos) << result.output;
  }
}

// Each receiving run that looked at the whole mailbox records how many
// messages its filters left there; a run that never reached it keeps the
// count as it was.
TEST_F(StatusRunTest, WhatTheFiltersLeftOnTheServerIsTold) {
  Pop3Server pop3;
  ASSERT_TRUE(pop3.running());
  pop3.AddMessage("From: a@example.org\r\nSubject: holiday\r\n\r\nbody\r\n");
  home_.Write("home/KESTREL.FLT", "SUBJECT FIDO\n");
  const struct {
    const char* what;
    std::uint16_t port;
    int run_exit;
  } cases[] = {{"a walk over the mailbox", pop3.port(), 0},
               {"a run that could not connect", FreeLoopbackPort(), 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteConfiguration("POPPORT " + std::to_string(c.port) + "\nNETTIMEOUT 10\n");
    const CommandResult run = RunCommand({"/usr/bin/env", "KESTREL_HOME=" + home_.File("home"),
                                          program_, "--console", "/GET", "/SHUTDOWN"},
                                         60s);
    ASSERT_EQ(run.exit_code, c.run_exit) << run.output;
    const CommandResult text = Run("--status");
    EXPECT_NE(text.output.find("  Left on the server by the filters: 1 message at "),
              std::string::npos)
        << text.output;
    const CommandResult json = Run("--status=json");
    EXPECT_NE(json.output.find("\"left_by_filters\": {\"messages\": 1, \"counted\": "),
              std::string::npos)
        << json.output;
  }
  EXPECT_EQ(pop3.RemainingMessages().size(), 1u);
}

}  // namespace
}  // namespace kestrel::testing
