// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/log.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/fake_clock.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace kestrel::core {
namespace {

class LogTest : public ::testing::Test {
 protected:
  testing::TempDir home;
  testing::RecordingFrontEnd front_end;
  testing::FakeClock clock{{2026, 12, 6, 8, 5, 0, 0}};
  Logger logger{front_end, home.path()};
};

TEST_F(LogTest, SectionsAreOpenedAndClosedWithDateAndTime) {
  for (int run = 0; run < 2; ++run) {
    logger.OpenLog(Side::Sending);
    logger.LogLine(Side::Sending, "-- working");
    logger.CloseLog(Side::Sending);
  }
  const std::string section =
      "-- Logfile opened  6-Dec-2026 08:05 \r\n-- working\r\n"
      "-- Logfile closed  6-Dec-2026 08:05 \r\n\r\n";
  EXPECT_EQ(home.Read("SEND.LOG"), section + section);
  EXPECT_FALSE(home.Exists("RECEIVE.LOG"));
}

TEST_F(LogTest, LinesReachThePaneWhileTheLogIsClosed) {
  logger.LogLine(Side::Receiving, "-- before");
  EXPECT_TRUE(front_end.HasLine(Side::Receiving, "-- before"));
  EXPECT_FALSE(home.Exists("RECEIVE.LOG"));
}

TEST_F(LogTest, PasswordIsMaskedOnTheReceivingSideOnly) {
  logger.OpenLog(Side::Receiving);
  logger.OpenLog(Side::Sending);
  logger.LogLine(Side::Receiving, "-> PASS secret");
  logger.LogLine(Side::Receiving, "-> PASSWORDLESS");
  logger.LogLine(Side::Receiving, "-> USER joe");
  logger.LogLine(Side::Sending, "-> PASS secret");
  EXPECT_EQ(front_end.Lines(Side::Receiving)[1], "-> PASS [PASSWORD]");
  EXPECT_EQ(front_end.Lines(Side::Receiving)[2], "-> PASS [PASSWORD]");
  EXPECT_EQ(front_end.Lines(Side::Receiving)[3], "-> USER joe");
  EXPECT_TRUE(front_end.HasLine(Side::Sending, "-> PASS secret"));
  EXPECT_EQ(home.Read("RECEIVE.LOG").find("secret"), std::string::npos);
}

TEST_F(LogTest, LinesAreCutTo132Characters) {
  logger.LogLine(Side::Sending, std::string(200, 'x'));
  EXPECT_EQ(front_end.Lines(Side::Sending).back().size(), 132u);
}

TEST_F(LogTest, SizeLimitDeletesOnlyALargerLog) {
  logger.SetSizeLimit(20000);
  home.Write("RECEIVE.LOG", std::string(20000, 'a'));
  logger.OpenLog(Side::Receiving);
  logger.CloseLog(Side::Receiving);
  EXPECT_EQ(home.Read("RECEIVE.LOG").substr(0, 20000), std::string(20000, 'a'));

  home.Write("RECEIVE.LOG", std::string(20001, 'a'));
  logger.OpenLog(Side::Receiving);
  EXPECT_EQ(home.Read("RECEIVE.LOG"), "-- Logfile opened  6-Dec-2026 08:05 \r\n");
  logger.CloseLog(Side::Receiving);

  logger.SetSizeLimit(0);
  home.Write("RECEIVE.LOG", std::string(90000, 'a'));
  logger.OpenLog(Side::Receiving);
  EXPECT_GT(home.Read("RECEIVE.LOG").size(), 90000u);
}

// However much a job writes, the file stays within the limit: a line that
// would take it past starts it anew; the lines kept outside a job as well.
TEST_F(LogTest, SizeLimitHoldsForEveryLine) {
  logger.SetSizeLimit(20000);
  logger.OpenLog(Side::Receiving);
  for (int i = 0; i < 1000; ++i) logger.LogLine(Side::Receiving, std::string(100, 'a' + i % 26));
  const std::string log = home.Read("RECEIVE.LOG");
  EXPECT_LE(log.size(), 20000u);
  EXPECT_EQ(log.rfind("-- Logfile begun anew at its size limit  6-Dec-2026 08:05 \r\n", 0), 0u);
  EXPECT_NE(log.find(std::string(100, 'a' + 999 % 26) + "\r\n"), std::string::npos);
  logger.CloseLog(Side::Receiving);
  EXPECT_EQ(front_end.Lines(Side::Receiving).size(), 1003u);  // the pane keeps them all

  home.Write("SEND.LOG", std::string(19990, 'a'));
  logger.LogLineKept(Side::Sending, "-- a warning of the scan");
  EXPECT_EQ(home.Read("SEND.LOG"), "-- a warning of the scan\r\n");
}

TEST_F(LogTest, UnwritableLogLeavesLinesInThePaneOnly) {
  home.MakeDir("SEND.LOG");  // a directory where the file should be
  logger.OpenLog(Side::Sending);
  EXPECT_FALSE(logger.IsOpen(Side::Sending));
  logger.LogLine(Side::Sending, "-- still shown");
  EXPECT_TRUE(front_end.HasLine(Side::Sending, "-- still shown"));
}

TEST_F(LogTest, LinesFromManyThreadsStayWhole) {
  logger.OpenLog(Side::Sending);
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) logger.LogLine(Side::Sending, std::string(60, 'a' + t));
    });
  }
  for (auto& w : workers) w.join();
  logger.CloseLog(Side::Sending);
  const std::string log = home.Read("SEND.LOG");
  std::size_t lines = 0, pos = 0;
  while ((pos = log.find("\r\n", pos)) != std::string::npos) {
    ++lines;
    pos += 2;
  }
  EXPECT_EQ(lines, 4u * 200 + 3);
  for (char c = 'a'; c < 'e'; ++c) {
    EXPECT_NE(log.find(std::string(60, c) + "\r\n"), std::string::npos);
  }
}

}  // namespace
}  // namespace kestrel::core
