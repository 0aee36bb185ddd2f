// SPDX-License-Identifier: GPL-2.0-or-later
// Split messages (message/partial) from hostile and careless senders, cut by
// Python's email package and taken from dovecot over POP3 and IMAP: what
// reaches the inbound, what stays on the server, what the spool keeps, and
// the run's outcome.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <utime.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>

#include "core/log.h"
#include "net/net_session.h"
#include "net/sha256.h"
#include "receive/imap/imap_dialogue.h"
#include "receive/partial/partial_delivery.h"
#include "receive/partial/partial_spool.h"
#include "receive/pop3/pop3_dialogue.h"
#include "support/mail_servers.h"
#include "support/program_home_at.h"
#include "support/program_path.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace kestrel::receive {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using core::Side;

constexpr const char* kNode = "Node 100 <node100@example.org>";
constexpr const char* kStranger = "Mallory <Mallory@Example.NET>";

// One file's message cut into pieces by another sender's program.
struct Cut {
  std::string name;
  std::string sender;
  std::string id;  // made unique for each case
  int pieces = 0;
  int seed = 0;
  int bytes = 6000;  // of the file
};

struct CutFiles {
  std::string file;                 // what the message carries
  std::vector<std::string> pieces;  // the mails, piece 1 first
};

// A mail of the mailbox: piece `number` of cut `cut`; cut -1 is a plain mail
// with a file of its own, to show that the walk goes on.
struct Mail {
  int cut = 0;
  int number = 0;
  bool again = false;  // sent again under another Message-ID
};

constexpr const char* kPlainMail =
    "From: Node 100 <node100@example.org>\nSubject: next\nMIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\n"
    "Content-Type: application/octet-stream; name=\"NEXT.PKT\"\n"
    "Content-Transfer-Encoding: base64\n\nbmV4dCBtYWls\n--b--\n";
constexpr const char* kPlainFile = "next mail";

class SplitMessageTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.running()) << server.ServerLog();
    configuration.NETTIMEOUT = 10;
    if (GetParam()) {
      configuration.IMAPSERVER = "127.0.0.1";
      configuration.IMAPPORT = server.imap_port();
      configuration.IMAPUSERNAME = server.user();
      configuration.IMAPPASSWORD = server.password();
    } else {
      configuration.POPSERVER = "127.0.0.1";
      configuration.POPPORT = server.port();
      configuration.POPUSERNAME = server.user();
      configuration.POPPASSWORD = server.password();
    }
    configuration.INBOUND = dir.MakeDir("IN") + "/";
    configuration.SAVEEMAIL = dir.MakeDir("SAVE") + "/";
    configuration.Filters.AcceptAll = true;
  }

  // One get job; the run's outcome: true when something needs the sysop.
  bool Run() {
    logger.OpenLog(Side::Receiving);
    const bool imap = GetParam();
    net::NetSession session(
        Side::Receiving, imap ? ImapEndpoint(configuration) : Pop3Endpoint(configuration), logger);
    const net::SessionOutcome outcome = net::RunSession(session, [&](net::NetSession& s) {
      if (imap) {
        RunImapDialogue(s, configuration, imap_waiting);
      } else {
        RunPop3Dialogue(s, configuration);
      }
    });
    logger.CloseLog(Side::Receiving);
    EXPECT_FALSE(outcome.aborted());
    return outcome.incomplete();
  }

  CutFiles MakeCut(const Cut& cut) {
    const std::string out = dir.File("cut");
    fs::remove_all(out);
    const testing::CommandResult result = testing::RunCommand(
        {"/usr/bin/python3", KESTREL_SOURCE_DIR "/tests/servers/piece_shapes.py", out, cut.name,
         cut.sender, cut.id, std::to_string(cut.pieces), std::to_string(cut.seed),
         std::to_string(cut.bytes)},
        60s, true);
    EXPECT_EQ(result.exit_code, 0) << result.output;
    CutFiles files{dir.Read("cut/file"), {}};
    for (int n = 1; n <= cut.pieces; ++n) {
      files.pieces.push_back(dir.Read("cut/" + std::to_string(n) + ".eml"));
    }
    return files;
  }

  std::map<std::string, std::string> TakeInbound() {
    std::map<std::string, std::string> inbound;
    for (const auto& entry : fs::directory_iterator(configuration.INBOUND)) {
      inbound[entry.path().filename().string()] =
          dir.Read("IN/" + entry.path().filename().string());
      fs::remove(entry.path());
    }
    return inbound;
  }

  void EmptyMailbox() {
    for (const char* sub : {"/new", "/cur"}) {
      for (const auto& entry : fs::directory_iterator(server.maildir() + sub)) {
        fs::remove(entry.path());
      }
    }
  }

  std::string LogFile() const { return dir.Read("RECEIVE.LOG"); }

  testing::TempDir dir;
  testing::ProgramHomeAt home{dir.path()};
  testing::RecordingFrontEnd front_end;
  core::Logger logger{front_end, dir.path()};
  testing::Pop3Server server;
  config::Configuration configuration;
  ImapWaiting imap_waiting;
  const PartialSpool spool;
};

// What a hostile or careless sender sends, and what must come of it.
TEST_P(SplitMessageTest, HostileSendersCostNoPieceAndNoOtherMail) {
  std::signal(SIGXFSZ, SIG_IGN);
  const Cut file_a{"A.PKT", kNode, "set", 3, 1};
  const struct {
    const char* what;
    std::vector<Cut> cuts;
    std::vector<Mail> mails;        // in the mailbox's order
    std::vector<int> inbound;       // the cuts whose file must arrive whole
    std::vector<Mail> left;         // the mails that must stay on the server
    std::size_t sets_waiting = 0;   // left in the spool
    bool incomplete = false;        // the run reports a problem
    std::string line;               // in the log
    std::uint32_t max_sets = 0;     // SPOOLMAXSETS, when set
    std::uint32_t sender_sets = 0;  // SPOOLSENDERSETS, when set
    std::uint32_t max_mb = 0;       // SPOOLMAXMB, when set
    std::uint32_t sender_mb = 0;    // SPOOLSENDERMB, when set
    rlim_t file_limit = 0;          // the largest file the disk takes, when set
  } cases[] = {
      // First, while the log and the journal are small.
      {"a piece the disk refuses",
       {{"D.PKT", kNode, "full", 1, 9}},
       {{0, 1}, {-1, 0}},
       {},
       {{0, 1}},
       0,
       true,
       ", could not be kept (",
       0,
       0,
       0,
       0,
       7000},
      {"a piece sent twice, byte for byte",
       {file_a},
       {{0, 1}, {0, 2}, {0, 2, true}, {0, 3}},
       {0},
       {},
       0,
       false,
       ", kept before: a copy"},
      {"a stranger's piece under the set's id, before the real one",
       {file_a, {"S.PKT", kStranger, "set", 3, 2}},
       {{1, 2}, {0, 1}, {0, 2}, {0, 3}},
       {0},
       {},
       1,
       true,
       "from node100@example.org disagrees: a set of mallory@example.net has its id"},
      {"a stranger's piece 5 of 5 under the set's id",
       {file_a, {"S.PKT", kStranger, "set", 5, 2}},
       {{1, 5}, {0, 1}, {0, 2}, {0, 3}},
       {0},
       {},
       1,
       true,
       "has its id"},
      {"the sender cuts the set again under the same id",
       {file_a, {"B.PKT", kNode, "set", 3, 3}},
       {{0, 1}, {0, 2}, {1, 1}, {1, 2}, {1, 3}, {0, 3}},
       {0, 1},
       {},
       0,
       true,
       "disagrees: its set holds another piece 1"},
      {"a piece of the same id with another total",
       {file_a, {"C.PKT", kNode, "set", 2, 4}},
       {{0, 1}, {1, 2}, {0, 2}, {0, 3}, {1, 1}},
       {0, 1},
       {},
       0,
       true,
       "its total 2 differs from its set's 3"},
      {"strangers' one-piece sets fill the spool's count",
       {file_a, {"S.PKT", kStranger, "x1", 2, 5}, {"T.PKT", kStranger, "x2", 2, 6}},
       {{1, 1}, {2, 1}, {0, 1}, {0, 2}, {0, 3}, {-1, 0}},
       {},
       {{0, 1}, {0, 2}, {0, 3}},
       2,
       true,
       "could not be kept (the spool holds 2 sets (SPOOLMAXSETS))",
       2},
      {"a stranger's sets fill his own share",
       {file_a, {"S.PKT", kStranger, "x1", 2, 5}, {"T.PKT", kStranger, "x2", 2, 6}},
       {{1, 1}, {2, 1}, {0, 1}, {0, 2}, {0, 3}, {-1, 0}},
       {0},
       {{2, 1}},
       1,
       true,
       "(its sender has 1 sets waiting (SPOOLSENDERSETS))",
       0,
       1},
      {"a stranger's piece larger than the spool may hold",
       {file_a, {"S.PKT", kStranger, "big", 2, 5, 1600000}},
       {{1, 1}, {0, 1}, {0, 2}, {0, 3}},
       {0},
       {{1, 1}},
       0,
       true,
       "(the spool would hold more than 1 MiB (SPOOLMAXMB))",
       0,
       0,
       1},
      {"a stranger's pieces pass his share of the bytes",
       {file_a,
        {"S.PKT", kStranger, "x1", 2, 5, 1200000},
        {"T.PKT", kStranger, "x2", 2, 6, 1200000}},
       {{1, 1}, {2, 1}, {0, 1}, {0, 2}, {0, 3}},
       {0},
       {{2, 1}},
       1,
       true,
       "(its sender's sets would hold more than 1 MiB (SPOOLSENDERMB))",
       0,
       0,
       0,
       1},
  };
  int number = 0;
  for (const auto& c : cases) {
    ++number;
    SCOPED_TRACE(c.what);
    configuration.SPOOLMAXSETS = c.max_sets ? c.max_sets : config::Configuration{}.SPOOLMAXSETS;
    configuration.SPOOLSENDERSETS =
        c.sender_sets ? c.sender_sets : config::Configuration{}.SPOOLSENDERSETS;
    configuration.SPOOLMAXMB = c.max_mb ? c.max_mb : config::Configuration{}.SPOOLMAXMB;
    configuration.SPOOLSENDERMB = c.sender_mb ? c.sender_mb : config::Configuration{}.SPOOLSENDERMB;
    std::vector<CutFiles> cuts;
    for (Cut cut : c.cuts) {
      cut.id += "." + std::to_string(number) + "@example.org";
      cuts.push_back(MakeCut(cut));
    }
    const auto content = [&](const Mail& mail) {
      if (mail.cut < 0) return std::string(kPlainMail);
      std::string piece = cuts[mail.cut].pieces[mail.number - 1];
      if (mail.again) piece.replace(piece.find("Message-ID: <"), 13, "Message-ID: <again.");
      return piece;
    };
    EmptyMailbox();
    for (const Mail& mail : c.mails) server.AddMessage(content(mail));
    front_end.ClearPane(Side::Receiving);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit limit = old;
    if (c.file_limit) limit.rlim_cur = c.file_limit;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool incomplete = Run();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
    EXPECT_EQ(incomplete, c.incomplete);
    std::map<std::string, std::string> expected;
    for (const int cut : c.inbound) expected[c.cuts[cut].name] = cuts[cut].file;
    if (std::any_of(c.mails.begin(), c.mails.end(), [](const Mail& m) { return m.cut < 0; })) {
      expected["NEXT.PKT"] = kPlainFile;
    }
    const std::map<std::string, std::string> inbound = TakeInbound();
    EXPECT_TRUE(inbound == expected)
        << inbound.size() << " files, first " << (inbound.empty() ? "" : inbound.begin()->first);
    std::vector<std::string> left;
    for (const Mail& mail : c.left) left.push_back(content(mail));
    EXPECT_TRUE(server.RemainingMessages() == left) << server.RemainingMessages().size();
    EXPECT_EQ(spool.Sets().size(), c.sets_waiting);
    const std::vector<std::string> lines = front_end.Lines(Side::Receiving);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(c.line) != std::string::npos;
    })) << c.line;
    fs::remove_all(spool.directory());
  }
}

// A set cut before sets had senders is taken over by the pieces that fit it;
// a set a broken run began before its first piece holds nothing and goes.
TEST_P(SplitMessageTest, ASetFromAnOlderRunIsJoined) {
  fs::create_directories(spool.directory() + "begun");
  std::ofstream(spool.directory() + "begun/FROM") << "node100@example.org";
  const CutFiles cut = MakeCut({"OLD.PKT", kNode, "old@example.org", 3, 7});
  const std::string set = spool.directory() + *net::Sha256Hex("old@example.org") + "/";
  fs::create_directories(set);
  const std::string first = cut.pieces[0];
  // The data after the piece's own header, as an older run kept it.
  for (const auto& [name, content] : {std::pair<std::string, std::string>{"ID", "old@example.org"},
                                      {"TOTAL", "3"},
                                      {"1", first.substr(first.find("\r\n\r\n") + 4)}}) {
    std::ofstream(set + name, std::ios::binary) << content;
  }
  server.AddMessage(cut.pieces[1]);
  server.AddMessage(cut.pieces[2]);
  EXPECT_FALSE(Run());
  const std::map<std::string, std::string> inbound = TakeInbound();
  ASSERT_EQ(inbound.count("OLD.PKT"), 1u);
  EXPECT_TRUE(inbound.at("OLD.PKT") == cut.file);
  EXPECT_TRUE(spool.Sets().empty());
}

// A set waiting too long is a problem once a day until the sysop hands it
// to the inbound as it is; nothing goes without that word.
TEST_P(SplitMessageTest, ASetWaitingTooLongIsAProblemUntilTheSysopActs) {
  const CutFiles cut = MakeCut({"LATE.PKT", kNode, "late@example.org", 3, 8});
  server.AddMessage(cut.pieces[0]);
  EXPECT_FALSE(Run());
  ASSERT_EQ(spool.Sets().size(), 1u);
  PartialSet set = spool.Sets().front();
  const std::time_t old = std::time(nullptr) - 10 * 24 * 60 * 60;
  const utimbuf times{old, old};
  ASSERT_EQ(::utime((set.directory + "ID").c_str(), &times), 0);
  fs::remove(set.directory + "REPORTED");
  EXPECT_TRUE(Run());
  EXPECT_NE(LogFile().find("waiting longer than 7 days (SPOOLDAYS)"), std::string::npos);
  EXPECT_NE(LogFile().find("kestrel --pieces deliver " + set.ShortName()), std::string::npos);
  EXPECT_FALSE(Run());  // told once a day
  set = spool.Sets().front();
  std::string error;
  const std::optional<std::string> name = DeliverPieces(spool, set, configuration.INBOUND, error);
  ASSERT_TRUE(name) << error;
  const std::string first = cut.pieces[0];
  EXPECT_EQ(dir.Read("IN/" + *name), first.substr(first.find("\r\n\r\n") + 4));
  EXPECT_TRUE(spool.Sets().empty());
}

INSTANTIATE_TEST_SUITE_P(OverPop3AndImap, SplitMessageTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Imap" : "Pop3"; });

}  // namespace
}  // namespace kestrel::receive
