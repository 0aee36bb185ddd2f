// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/build_list.h"

#include <unistd.h>

#include "scan_fixture.h"

namespace kestrel::outbound {
namespace {

using testing::TextLines;

class BuildListTest : public ScanFixture {
 protected:
  BuildListTest() { configuration.OUTBOUND = Upper("outbound"); }

  BuildResult Build() { return BuildList(configuration, list, logger); }

  // The summary: every line after the last scan's own lines.
  std::vector<std::string> Summary() const {
    const std::vector<std::string> lines = Lines();
    auto first = lines.begin();
    while (first != lines.end() && first->find(" systems redirected.") == std::string::npos)
      ++first;
    return {first, lines.end()};
  }

  void Packets(const std::vector<int>& sizes) {
    const char* extensions[] = {"OUT", "CUT", "HUT", "DUT"};
    for (std::size_t i = 0; i < sizes.size(); ++i)
      dir.Write("outbound/00EC0064." + std::string(extensions[i]), std::string(sizes[i], 'p'));
  }
};

TEST_F(BuildListTest, NothingFound) {
  Redirect("2:236/100");
  dir.MakeDir("outbound");
  const BuildResult result = Build();
  EXPECT_EQ(result.outcome, BuildOutcome::NothingToSend);
  EXPECT_FALSE(result.worth_sending());
  EXPECT_EQ(Summary(), (std::vector<std::string>{"-- 1 systems redirected.",
                                                 "-- 0 file(s) to be sent 0 bytes."}));
}

TEST_F(BuildListTest, OneFileForThreeSystems) {
  std::vector<std::string> flow = {dir.File("files/f.zip")};
  dir.Write("files/f.zip", std::string(1000, 'f'));
  for (const char* address : {"2:236/1", "2:236/2", "2:236/3"}) Redirect(address);
  for (const char* name : {"00EC0001.FLO", "00EC0002.FLO", "00EC0003.FLO"})
    dir.Write(std::string("outbound/") + name, TextLines(flow));
  const BuildResult result = Build();
  EXPECT_EQ(result.outcome, BuildOutcome::Send);
  EXPECT_EQ(result.gross_bytes, 3000);
  EXPECT_EQ(list.TotalBytes, 1000);
  EXPECT_EQ(Summary(), (std::vector<std::string>{
                           "-- 3 systems redirected.",
                           "-- 3 file(s) to be sent 3000 bytes.",
                           "-- Multiple files found, total savings 2000 bytes (67%)",
                           "-- 1000 bytes to be transferred",
                       }));
}

struct MinimumCase {
  int minimum_files;
  int minimum_bytes;
  BuildOutcome outcome;
  const char* last_line;
};

class BuildListMinimumTest : public BuildListTest,
                             public ::testing::WithParamInterface<MinimumCase> {};

TEST_P(BuildListMinimumTest, TwoPackets) {
  const MinimumCase& c = GetParam();
  Redirect("2:236/100");
  Packets({600, 400});
  configuration.MINIMUMFILES = static_cast<std::uint16_t>(c.minimum_files);
  configuration.MINIMUMBYTES = c.minimum_bytes;
  EXPECT_EQ(Build().outcome, c.outcome);
  const std::vector<std::string> summary = Summary();
  ASSERT_GE(summary.size(), 3u);
  EXPECT_EQ(summary[1], "-- 2 file(s) to be sent 1000 bytes.");
  EXPECT_EQ(summary[2], "-- No files to multiple addresses");
  EXPECT_EQ(summary.back(), c.last_line);
  EXPECT_EQ(summary.size(), c.outcome == BuildOutcome::Send ? 3u : 4u);
}

INSTANTIATE_TEST_SUITE_P(
    Minimums, BuildListMinimumTest,
    ::testing::Values(MinimumCase{3, 0, BuildOutcome::NothingToSend,
                                  "-- To few files to send, minimum 3 files before sending"},
                      MinimumCase{0, 2000, BuildOutcome::NothingToSend,
                                  "-- To few bytes to send, minimum 2000 bytes before sending"},
                      MinimumCase{2, 1000, BuildOutcome::Send,
                                  "-- No files to multiple addresses"}));

TEST_F(BuildListTest, MinimumBytesIsComparedWithTheTotalNotTheGross) {
  dir.Write("files/f.zip", std::string(1000, 'f'));
  Redirect("2:236/1");
  Redirect("2:236/2");
  for (const char* name : {"00EC0001.FLO", "00EC0002.FLO"})
    dir.Write(std::string("outbound/") + name, TextLines({dir.File("files/f.zip")}));
  configuration.MINIMUMBYTES = 1500;  // below the gross of 2000, above the total of 1000
  EXPECT_EQ(Build().outcome, BuildOutcome::NothingToSend);
  EXPECT_EQ(Summary().back(), "-- To few bytes to send, minimum 1500 bytes before sending");
}

TEST_F(BuildListTest, OnlyAZeroLengthPacket) {
  Redirect("2:236/100");
  Packets({0});
  EXPECT_EQ(Build().outcome, BuildOutcome::NothingToSend);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(Summary(), (std::vector<std::string>{"-- 1 systems redirected.",
                                                 "-- 1 file(s) to be sent 0 bytes."}));
}

TEST_F(BuildListTest, EmptiesTheListFirst) {
  Redirect("2:236/100");
  Packets({10});
  for (int i = 0; i < 20; ++i) list.Add(SendEntry{});
  list.TotalBytes = 12345;
  EXPECT_EQ(Build().outcome, BuildOutcome::Send);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(list.TotalBytes, 10);
}

// A hub's table counts whole; past the bounds nothing goes without a word.
TEST_F(BuildListTest, EveryRedirectCountsAndWhatDoesNotFitIsAProblem) {
  constexpr int kLinks = 700;
  for (int node = 1; node <= kLinks; ++node) {
    Redirect("2:236/" + std::to_string(node));
    char name[32];
    std::snprintf(name, sizeof name, "outbound/00ec%04x.out", node);
    dir.Write(name, "p");
  }
  EXPECT_EQ(Build().outcome, BuildOutcome::Send);
  EXPECT_EQ(list.Count(), kLinks);
  EXPECT_FALSE(list.Problems);
  EXPECT_EQ(Summary()[1], "-- " + std::to_string(kLinks) + " file(s) to be sent 700 bytes.");

  // More entries than the list holds: one file listed over and over.
  configuration.Redirects.Clear();
  Redirect("2:236/1");
  const std::string file = dir.Write("files/f.zip", std::string(10, 'f'));
  dir.Write("outbound/00ec0001.flo",
            TextLines(std::vector<std::string>(kMaxSendEntries + 2, file), "\n"));
  front_end.ClearPane(core::Side::Sending);
  EXPECT_EQ(Build().outcome, BuildOutcome::Send);
  EXPECT_EQ(list.Count(), kMaxSendEntries);
  EXPECT_TRUE(list.Problems);
  EXPECT_TRUE(front_end.HasLine(
      core::Side::Sending, "-- 3 file(s), 30 bytes, left for a later run: the send list holds " +
                               std::to_string(kMaxSendEntries)));

  // More REDIRECT lines than the table holds.
  configuration.OUTBOUND.clear();
  configuration.NETMAIL = dir.MakeDir("netmail") + "/";
  for (int i = 0; i < config::kMaxRedirects + 2; ++i) (void)configuration.Redirects.Add({});
  front_end.ClearPane(core::Side::Sending);
  EXPECT_EQ(Build().outcome, BuildOutcome::NothingToSend);
  EXPECT_TRUE(list.Problems);
  EXPECT_EQ(Summary()[1], "-- 3 REDIRECT line(s) ignored: the table holds " +
                              std::to_string(config::kMaxRedirects));
}

// Nothing is worth a connection while the only node with mail is busy.
TEST_F(BuildListTest, BusyNodesLeaveNothingToSend) {
  Redirect("2:236/100");
  Packets({500});
  dir.Write("outbound/00EC0064.BSY", std::to_string(getpid()) + "\n");
  EXPECT_EQ(Build().outcome, BuildOutcome::NothingToSend);
  EXPECT_EQ(Lines().back(), "-- 0 file(s) to be sent 0 bytes.");
}

TEST_F(BuildListTest, FullCheckReportInOrderAndQuietWithDisableCheck) {
  Redirect("2:236/100");
  Packets({5});
  configuration.NETMAIL = Upper("netmail") + "\\";
  configuration.VFIDO = Upper("vfido") + "\\";
  testing::StoredMessage message;
  message.dest_net = 236;
  message.dest_node = 100;
  dir.Write("netmail/1.MSG", testing::EncodeStoredMessage(message));
  dir.MakeDir("vfido");
  const std::string message_size = std::to_string(dir.Read("netmail/1.MSG").size());
  EXPECT_EQ(Build().outcome, BuildOutcome::Send);
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "-- Scanning outbound....",
                         "-- Redirect 2:236/100.0 -> joe@example.net (Joe Sysop)",
                         "--   " + dir.File("outbound/00EC0064.OUT") + " 5b",
                         "--   1 file(s) for address (5b)",
                         "-- Scanning netmail....",
                         "--   1.MSG -> joe@example.net",
                         "--   Message text " + message_size + "b",
                         "-- Scanning VFIDO netmail....",
                         "-- 1 systems redirected.",
                         "-- 2 file(s) to be sent " + std::to_string(5 + std::stoi(message_size)) +
                             " bytes.",
                         "-- No files to multiple addresses",
                     }));

  front_end.ClearPane(core::Side::Sending);
  configuration.DISABLECHECK = true;
  EXPECT_EQ(Build().outcome, BuildOutcome::Send);
  const std::vector<std::string> quiet = Lines();
  ASSERT_EQ(quiet.size(), 6u);
  EXPECT_EQ(quiet[0], "-- Scanning outbound....");
  EXPECT_EQ(quiet[1], "-- Scanning netmail....");
  EXPECT_EQ(quiet[2], "-- Scanning VFIDO netmail....");
}

TEST_F(BuildListTest, SecondBuildWhileOneRunsGivesUpSilently) {
  Redirect("2:236/100");
  Packets({10});
  ListBuilding = true;
  EXPECT_EQ(Build().outcome, BuildOutcome::AlreadyBuilding);
  EXPECT_TRUE(Lines().empty());
  EXPECT_TRUE(ListBuilding);
  ListBuilding = false;
  EXPECT_EQ(Build().outcome, BuildOutcome::Send);
  EXPECT_FALSE(ListBuilding);
}

TEST_F(BuildListTest, UnconvertibleAddressEndsTheBuild) {
  Redirect("2:236/100");
  Redirect("SYSOP");  // completes to 2:SYSOP.0, which has no numbers
  Packets({10});
  const BuildResult result = Build();
  EXPECT_EQ(result.outcome, BuildOutcome::AddressError);
  EXPECT_FALSE(result.worth_sending());
  EXPECT_FALSE(ListBuilding);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.TotalBytes, 0);
  const std::vector<std::string> lines = Lines();
  EXPECT_EQ(lines.back().rfind("** Address 2:SYSOP.0 has no outbound path: ", 0), 0u)
      << lines.back();
  EXPECT_TRUE(Summary().empty());
  // The flag is free for the next build.
  configuration.Redirects.Clear();
  EXPECT_EQ(Build().outcome, BuildOutcome::NothingToSend);
}

}  // namespace
}  // namespace kestrel::outbound
