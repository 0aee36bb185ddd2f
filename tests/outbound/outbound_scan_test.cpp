// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/outbound_scan.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <ctime>

#include "mime/ascii_text.h"
#include "outbound/scan_context.h"
#include "scan_fixture.h"
#include "support/dead_process.h"

namespace kestrel::outbound {
namespace {

using testing::TextLines;

class OutboundScanTest : public ScanFixture {
 protected:
  OutboundScanTest() { configuration.OUTBOUND = Upper("outbound"); }

  void Scan() {
    ScanContext context(configuration, list, logger);
    ScanOutbound(context);
    gross = context.gross_bytes();
  }

  std::int64_t gross = 0;
};

TEST_F(OutboundScanTest, PacketAndFlowFileWithPrefixes) {
  Redirect("2:236/100.0");
  dir.Write("outbound/00EC0064.OUT", std::string(1000, 'p'));
  dir.Write("outbound/00EC0064.FLO", TextLines({"^c:\\files\\a.zip", "#c:\\files\\b.txt"}));
  dir.Write("c:/files/a.zip", std::string(200, 'a'));
  dir.Write("c:/files/b.txt", std::string(300, 'b'));
  ProgramHomeAt home(dir.path());
  Scan();

  // Reports show real paths, whatever the spelling of the configuration and the lines.
  const std::string base = dir.File("outbound/00EC0064");
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "-- Scanning outbound....",
                         "-- Redirect 2:236/100.0 -> joe@example.net (Joe Sysop)",
                         "--   " + base + ".OUT 1000b",
                         "--   " + dir.File("c:/files/a.zip") + " 200b (Delete after)",
                         "--   " + dir.File("c:/files/b.txt") + " 300b (Zero/truncate after)",
                         "--   3 file(s) for address (1500b)",
                     }));
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Entry(1).Kind, SendKind::OutboundPacket);
  EXPECT_EQ(list.Entry(1).Path, base + ".OUT");
  EXPECT_EQ(list.Entry(1).ListPath, "");
  EXPECT_EQ(list.Entry(1).AfterSend, AfterSendAction::Delete);
  EXPECT_EQ(list.Entry(2).Kind, SendKind::ListedFile);
  EXPECT_EQ(list.Entry(2).Path, dir.File("c:/files/a.zip"));
  EXPECT_EQ(list.Entry(2).ListPath, base + ".FLO");
  EXPECT_EQ(list.Entry(2).AfterSend, AfterSendAction::Delete);
  EXPECT_EQ(list.Entry(3).AfterSend, AfterSendAction::Truncate);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(list.Entry(i).State, SendState::Pending);
    EXPECT_EQ(list.Entry(i).RedirectIndex, 1);
  }
  EXPECT_EQ(list.TotalBytes, 1500);
  EXPECT_EQ(gross, 1500);
}

// Linux mailers write names in lower case and flow lines as POSIX paths; the
// upper-case names the system builds find the same things, and the reports
// show each under its real name.
TEST_F(OutboundScanTest, LowerCaseLayoutReadsLikeUpperCase) {
  Redirect("2:236/100.0");
  Redirect("1:123/45");
  Redirect("2:236/100.3");
  auto write_layout = [&](const std::string& root, bool lower) {
    auto name = [&](std::string text) { return lower ? text : mime::UpperCase(text); };
    const std::string files = dir.File(root) + name("/files/");
    dir.Write(root + name("/outbound/00ec0064.out"), std::string(10, 'x'));
    dir.Write(root + name("/outbound/00ec0064.hlo"),
              TextLines({"^" + files + name("a.zip"), files + name("b.txt")}, "\n"));
    dir.Write(root + name("/outbound.001/007b002d.cut"), std::string(20, 'x'));
    dir.Write(root + name("/outbound/00ec0064.pnt/00000003.flo"),
              TextLines({"#" + files + name("b.txt")}, "\n"));
    dir.Write(root + name("/outbound/00ec0064.req"), "");
    dir.Write(root + name("/files/a.zip"), std::string(30, 'a'));
    dir.Write(root + name("/files/b.txt"), std::string(40, 'b'));
  };
  write_layout("up", false);
  write_layout("low", true);

  configuration.OUTBOUND = Upper("up/outbound");
  Scan();
  const std::vector<std::string> upper_lines = Lines();
  std::vector<SendEntry> upper_entries;
  for (int i = 1; i <= list.Count(); ++i) upper_entries.push_back(list.Entry(i));

  front_end.ClearPane(core::Side::Sending);
  list.Clear();
  configuration.OUTBOUND = Upper("low/outbound");
  Scan();
  // Letter case aside, the two layouts give the same report and entries.
  auto as_up = [&](const std::string& text) {
    std::string upper = mime::UpperCase(text);
    const std::string low = Upper("low"), up = Upper("up");
    for (std::size_t at; (at = upper.find(low)) != std::string::npos;)
      upper.replace(at, low.size(), up);
    return upper;
  };
  std::vector<std::string> lower_lines;
  for (const std::string& line : Lines()) lower_lines.push_back(as_up(line));
  std::vector<std::string> upper_compared;
  for (const std::string& line : upper_lines) upper_compared.push_back(mime::UpperCase(line));
  EXPECT_EQ(lower_lines, upper_compared);
  ASSERT_EQ(list.Count(), 5);
  ASSERT_EQ(upper_entries.size(), 5u);
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(as_up(list.Entry(i).Path), mime::UpperCase(upper_entries[i - 1].Path));
    EXPECT_EQ(as_up(list.Entry(i).ListPath), mime::UpperCase(upper_entries[i - 1].ListPath));
    EXPECT_EQ(list.Entry(i).AfterSend, upper_entries[i - 1].AfterSend);
    EXPECT_EQ(list.Entry(i).RedirectIndex, upper_entries[i - 1].RedirectIndex);
  }
  EXPECT_EQ(Lines().at(2), "--   " + dir.File("low/outbound/00ec0064.out") + " 10b");
  EXPECT_EQ(list.Entry(5).ListPath, dir.File("low/outbound/00ec0064.pnt/00000003.flo"));
  EXPECT_EQ(upper_lines, (std::vector<std::string>{
                             "-- Scanning outbound....",
                             "-- Redirect 2:236/100.0 -> joe@example.net (Joe Sysop)",
                             "--   " + dir.File("up/OUTBOUND/00EC0064.OUT") + " 10b",
                             "--   " + dir.File("up/FILES/A.ZIP") + " 30b (Delete after)",
                             "--   " + dir.File("up/FILES/B.TXT") + " 40b",
                             "--   3 file(s) for address (80b)",
                             "-- Redirect 1:123/45.0 -> joe@example.net (Joe Sysop)",
                             "--   " + dir.File("up/OUTBOUND.001/007B002D.CUT") + " 20b",
                             "--   1 file(s) for address (20b)",
                             "-- Redirect 2:236/100.3 -> joe@example.net (Joe Sysop)",
                             "--   " + dir.File("up/FILES/B.TXT") + " 40b (Zero/truncate after)",
                             "--   1 file(s) for address (40b)",
                         }));
}

// A node held by another program's busy flag is marked in the report and its
// files stay out of the list and the totals; a flag whose owner is gone, or
// older than BSYAGE, holds nothing.
enum class FlagContent { Running, Ended, Empty, NoNumber };

struct BusyNodeCase {
  const char* label;
  const char* flag;
  FlagContent content;
  int age_minutes;
  std::uint32_t bsyage;
  bool busy_files;
  bool held;
};

class BusyNodeTest : public OutboundScanTest, public ::testing::WithParamInterface<BusyNodeCase> {};

TEST_P(BusyNodeTest, HeldNodesAreMarkedAndLeftOut) {
  const BusyNodeCase& test = GetParam();
  Redirect("2:236/100");
  configuration.BSYAGE = test.bsyage;
  configuration.BusyFiles = test.busy_files;
  dir.Write("outbound/00ec0064.out", std::string(10, 'p'));
  dir.Write("files/a.zip", "aaa");
  dir.Write("outbound/00ec0064.flo", TextLines({dir.File("files/a.zip")}, "\n"));
  const pid_t ended = testing::EndedProcessId();
  const std::string content[] = {std::to_string(getpid()) + "\n", std::to_string(ended) + "\n", "",
                                 "busy\n"};
  const std::string flag =
      dir.Write(std::string("outbound/") + test.flag, content[static_cast<int>(test.content)]);
  const timeval touched[2] = {{std::time(nullptr) - test.age_minutes * 60, 0},
                              {std::time(nullptr) - test.age_minutes * 60, 0}};
  ASSERT_EQ(utimes(flag.c_str(), touched), 0);
  Scan();

  const std::vector<std::string> lines = Lines();
  ASSERT_GE(lines.size(), 3u);
  if (test.held) {
    // Who holds the node and since when; a hold of over an hour is a problem.
    const std::string holder[] = {"process " + std::to_string(getpid()),
                                  "process " + std::to_string(ended) + " not running here",
                                  "no process id", "no process id"};
    const std::time_t since = touched[0].tv_sec;
    std::tm local{};
    localtime_r(&since, &local);
    char when[32] = {};
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    const std::string held = holder[static_cast<int>(test.content)] + ", since " + when;
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "-- Scanning outbound....",
                         "-- Redirect 2:236/100.0 -> joe@example.net (Joe Sysop)",
                         "--   Busy (" + flag + "), not sent this run",
                         test.age_minutes > 60 ? "-- 2:236/100.0 held for over an hour: " + held
                                               : "--   Holder: " + held,
                     }));
    EXPECT_EQ(list.Problems, test.age_minutes > 60);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(gross, 0);
    return;
  }
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.TotalBytes, 13);
  if (!test.busy_files) {
    EXPECT_EQ(lines[2], "--   " + dir.File("outbound/00ec0064.out") + " 10b");
  } else if (test.content == FlagContent::Ended) {
    EXPECT_EQ(lines[2], "--   Stale busy flag " + flag + " (process " + std::to_string(ended) +
                            " not running here, untouched 10 min)");
  } else {
    EXPECT_EQ(lines[2], "--   Stale busy flag " + flag + " (older than " +
                            std::to_string(test.bsyage) + " minutes)");
  }
  EXPECT_TRUE(dir.Exists(std::string("outbound/") + test.flag));  // the report only reads
}

INSTANTIATE_TEST_SUITE_P(
    Flags, BusyNodeTest,
    ::testing::Values(
        BusyNodeCase{"running", "00ec0064.bsy", FlagContent::Running, 0, 0, true, true},
        BusyNodeCase{"empty", "00ec0064.bsy", FlagContent::Empty, 0, 0, true, true},
        BusyNodeCase{"no_number", "00EC0064.BSY", FlagContent::NoNumber, 0, 0, true, true},
        // A process that does not run here may run on another host sharing
        // the outbound: its flag holds until untouched for 10 minutes.
        BusyNodeCase{"ended_fresh", "00ec0064.bsy", FlagContent::Ended, 0, 0, true, true},
        BusyNodeCase{"ended", "00ec0064.bsy", FlagContent::Ended, 11, 0, true, false},
        BusyNodeCase{"young", "00ec0064.bsy", FlagContent::Empty, 30, 60, true, true},
        BusyNodeCase{"old", "00ec0064.bsy", FlagContent::Running, 90, 60, true, false},
        BusyNodeCase{"old_without_bsyage", "00ec0064.bsy", FlagContent::Empty, 900, 0, true, true},
        BusyNodeCase{"flags_off", "00ec0064.bsy", FlagContent::Running, 0, 0, false, false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(OutboundScanTest, FileForTwoSystemsCountsOnceInTotal) {
  Redirect("2:236/100");
  Redirect("2:236/200");
  const std::string shared = Upper("files/shared.zip");
  dir.Write("files/shared.zip", std::string(500, 's'));
  dir.Write("outbound/00ec0064.flo", TextLines({shared}));
  dir.Write("outbound/00ec00c8.flo", TextLines({shared}));
  Scan();
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Entry(1).RedirectIndex, 1);
  EXPECT_EQ(list.Entry(2).RedirectIndex, 2);
  EXPECT_EQ(list.TotalBytes, 500);
  EXPECT_EQ(gross, 1000);
}

// Files past 2 GiB between them: the totals neither stop nor wrap at 32 bits.
TEST_F(OutboundScanTest, TotalsPastTwoGibibytesAddUp) {
  constexpr std::uint64_t kThreeGib = std::uint64_t{3} << 30;
  ScanContext context(configuration, list, logger);
  for (const char* path : {"a.zip", "b.zip", "a.zip"}) {
    SendEntry entry;
    entry.Path = path;
    ASSERT_TRUE(context.Add(entry, kThreeGib, /*count_once=*/true));
  }
  EXPECT_EQ(list.TotalBytes, std::int64_t{6} << 30);
  EXPECT_EQ(context.gross_bytes(), std::int64_t{9} << 30);
}

// With splitting off and a known limit, the report names a file too large to
// go; the send log keeps the line.
TEST_F(OutboundScanTest, ReportNamesFilesAboveTheLimitWhenSplittingIsOff) {
  Redirect("2:236/100");
  configuration.SPLITLARGE = false;
  configuration.MAXMESSAGESIZE = 10'000;
  const std::string large = Upper("files/large.zip");
  dir.Write("files/large.zip", std::string(8'000, 'l'));  // over 10,000 as BASE64 lines
  dir.Write("files/small.zip", std::string(7'000, 's'));
  dir.Write("outbound/00ec0064.flo", TextLines({large, Upper("files/small.zip")}));
  Scan();
  const std::string prefix =
      "--   Too large to send (SPLITLARGE 0): " + dir.File("files/large.zip");
  const std::vector<std::string> lines = Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& line) {
                            return line.rfind(prefix, 0) == 0 && line.ends_with(", limit 10000");
                          }),
            1)
      << testing::TextLines(lines);
  EXPECT_NE(dir.Read("SEND.LOG").find(prefix), std::string::npos);
  EXPECT_EQ(list.Count(), 2);  // the send job holds it with its own line
}

// A small ARCmail bundle of today stays listed, and the report names it: the
// send job holds it back until it grows.
TEST_F(OutboundScanTest, ReportNamesSmallBundlesOfToday) {
  Redirect("2:236/100");
  configuration.MINIMUMMAIL = 1000;
  dir.Write("files/00ec0064.mo0", std::string(100, 'b'));
  dir.Write("files/00ec0064.tu0", std::string(5000, 'b'));
  dir.Write("outbound/00ec0064.flo",
            TextLines({Upper("files/00ec0064.mo0"), Upper("files/00ec0064.tu0")}));
  Scan();
  const std::vector<std::string> lines = Lines();
  const std::string held = "--   Too small to send today (MINIMUMMAIL 1000): ";
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& line) { return line.rfind(held, 0) == 0; }),
            1)
      << testing::TextLines(lines);
  EXPECT_NE(std::find(lines.begin(), lines.end(), held + dir.File("files/00ec0064.mo0")),
            lines.end());
  EXPECT_EQ(list.Count(), 2);
}

// Lines as binkd leaves them: "~" marks a file sent already (never missing),
// blanks and tabs after a name are no part of it.
TEST_F(OutboundScanTest, ReportLinesForWhatIsMissing) {
  Redirect("2:236/100");
  Redirect("3:1/1");  // zone directory OUTBOUND.003 does not exist
  dir.Write("outbound/00ec0064.flo",
            TextLines({"~C:\\FILES\\A.ZIP", "", dir.File("files/empty.txt"), dir.File("nothere"),
                       "^" + dir.File("files/b.zip") + " \t "},
                      "\n"));
  dir.Write("c:/files/a.zip", "a");
  dir.Write("files/empty.txt", "");
  dir.Write("files/b.zip", "bb");
  ProgramHomeAt home(dir.path());
  Scan();
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "-- Scanning outbound....",
                         "-- Redirect 2:236/100.0 -> joe@example.net (Joe Sysop)",
                         "-- Could not find " + dir.File("nothere"),
                         "--   " + dir.File("files/b.zip") + " 2b (Delete after)",
                         "--   1 file(s) for address (2b)",
                         "-- Redirect 3:1/1.0 -> joe@example.net (Joe Sysop)",
                         "-- Outbound not available for 3:1/1.0 (" + dir.path() +
                             "/OUTBOUND.003/00010001.*)",
                     }));
  EXPECT_EQ(list.Count(), 1);
}

// A flow-file line is looked up as written; only a name that does not exist
// is matched without regard to letter case.
TEST_F(OutboundScanTest, TheLinesOwnSpellingComesFirst) {
  Redirect("2:236/100");
  dir.Write("files/A.ZIP", "upper");
  dir.Write("files/a.zip", "lower!");
  dir.Write("files/only.zip", "o");
  dir.Write("outbound/00ec0064.flo",
            TextLines({"^" + dir.File("files/a.zip"), dir.File("files/A.ZIP"),
                       dir.File("files/ONLY.ZIP")},
                      "\n"));
  Scan();
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Entry(1).Path, dir.File("files/a.zip"));
  EXPECT_EQ(list.TotalBytes, 6 + 5 + 1);
  EXPECT_EQ(list.Entry(2).Path, dir.File("files/A.ZIP"));
  EXPECT_EQ(list.Entry(3).Path, dir.File("files/only.zip"));
}

TEST_F(OutboundScanTest, RemapIsReportedForEveryLine) {
  Redirect("2:236/100");
  configuration.RemapFrom = "D:\\FILES";
  configuration.RemapTo = dir.File("real");
  dir.Write("real/nodelist.zip", "12345");
  dir.Write("outbound/00EC0064.FLO", TextLines({"d:\\files\\nodelist.zip", "/elsewhere/x"}));
  Scan();
  const std::string remap = "-- Remapping D:\\FILES -> " + configuration.RemapTo;
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "-- Scanning outbound....",
                         "-- Redirect 2:236/100.0 -> joe@example.net (Joe Sysop)",
                         remap,
                         "--   " + dir.File("real/nodelist.zip") + " 5b",
                         remap,
                         "-- Could not find /elsewhere/x",
                         "--   1 file(s) for address (5b)",
                     }));
}

TEST_F(OutboundScanTest, WildcardLineGivesOneEntryPerRealFile) {
  Redirect("2:236/100");
  dir.Write("files/a.zip", "aa");
  dir.Write("files/b.zip", "");
  dir.Write("files/c.zip", "cccc");
  dir.Write("files/d.txt", "d");
  dir.Write("outbound/00EC0064.FLO", TextLines({"^" + dir.File("files/*.zip")}));
  Scan();
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Entry(1).Path, dir.File("files/a.zip"));
  EXPECT_EQ(list.Entry(2).Path, dir.File("files/c.zip"));
  EXPECT_EQ(list.Entry(2).AfterSend, AfterSendAction::Delete);
  EXPECT_EQ(list.TotalBytes, 6);
}

TEST_F(OutboundScanTest, DisableCheckLeavesOnlyTheScanningLine) {
  Redirect("2:236/100");
  Redirect("3:1/1");
  configuration.DISABLECHECK = true;
  configuration.RemapFrom = "X";
  dir.Write("outbound/00EC0064.OUT", "p");
  dir.Write("outbound/00EC0064.FLO", TextLines({"/nothere"}));
  Scan();
  EXPECT_EQ(Lines(), std::vector<std::string>{"-- Scanning outbound...."});
  EXPECT_EQ(list.Count(), 1);
}

TEST_F(OutboundScanTest, EmptyOutboundSettingScansNothing) {
  Redirect("2:236/100");
  configuration.OUTBOUND.clear();
  Scan();
  EXPECT_TRUE(Lines().empty());
}

TEST_F(OutboundScanTest, BadFlowFilesAreReadSafelyAndLeftAlone) {
  Redirect("2:236/100");
  dir.Write("files/ok.zip", "ok");
  std::string garbage;
  for (int i = 0; i < 3000; ++i) garbage.push_back(static_cast<char>((i * 37) % 256));
  dir.Write("outbound/00EC0064.FLO",
            TextLines({std::string(10000, 'x'), dir.File("files/ok.zip")}) + garbage);
  dir.Write("outbound/00EC0064.CLO", garbage);
  dir.Write("outbound/00EC0064.OUT.TMP", "not a packet");
  dir.MakeDir("outbound/00EC0064.DUT");  // a directory is no packet
  ASSERT_EQ(mkfifo(dir.File("outbound/00EC0064.HLO").c_str(), 0600), 0);  // would block a read
  const auto before = Snapshot();
  ProgramHomeAt home(dir.path());
  Scan();
  EXPECT_EQ(Snapshot(), before);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Entry(1).Path, dir.File("files/ok.zip"));
  const std::vector<std::string> lines = Lines();
  EXPECT_TRUE(
      front_end.HasLine(core::Side::Sending,
                        ("-- Could not find " + dir.File(std::string(255, 'x'))).substr(0, 132)));
  for (const std::string& line : lines) {
    EXPECT_LE(line.size(), 132u);
    for (char c : line) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << line;
  }
}

TEST_F(OutboundScanTest, UnreadableFlowFilesAreReported) {
  Redirect("2:236/100");
  dir.Write("files/a", "a");
  // Opens, but every read fails: /proc/self/mem at offset 0.
  std::filesystem::create_directories(dir.File("outbound"));
  std::filesystem::create_symlink("/proc/self/mem", dir.File("outbound/00EC0064.CLO"));
  dir.Write("outbound/00EC0064.FLO", TextLines({dir.File("files/a")}));
  if (geteuid() != 0) {  // root opens every file
    dir.Write("outbound/00EC0064.HLO", "x\n");
    chmod(dir.File("outbound/00EC0064.HLO").c_str(), 0);
  }
  Scan();
  const std::string base = dir.File("outbound/00EC0064");
  EXPECT_TRUE(front_end.HasLine(core::Side::Sending, "-- Could not read " + base + ".CLO"));
  if (geteuid() != 0) {
    EXPECT_TRUE(front_end.HasLine(core::Side::Sending, "-- Could not open " + base + ".HLO"));
  }
  ASSERT_EQ(list.Count(), 1);  // the readable flow file still counts
  EXPECT_EQ(list.Entry(1).Path, dir.File("files/a"));
}

TEST_F(OutboundScanTest, UnconvertibleAddressThrowsAfterItsLines) {
  Redirect("2:236/");
  EXPECT_THROW(Scan(), config::ConversionError);
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "-- Redirect 2:236/.0 -> joe@example.net (Joe Sysop)");
  EXPECT_EQ(lines[2].rfind("** Address 2:236/.0 has no outbound path: ", 0), 0u) << lines[2];
}

}  // namespace
}  // namespace kestrel::outbound
