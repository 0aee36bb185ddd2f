// SPDX-License-Identifier: GPL-2.0-or-later
#include "dialup/dial_network.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "dialup/program_runner.h"
#include "support/fake_nmcli.h"
#include "support/recording_front_end.h"
#include "support/simulated_dialup.h"
#include "support/temp_dir.h"

namespace kestrel::dialup {
namespace {

using core::Side;
using testing::RecordingFrontEnd;
using testing::ResetSimulatedDialup;
using testing::SimulatedHistory;
using testing::TempDir;
using namespace std::chrono_literals;

class DialNetworkTest : public ::testing::Test {
 protected:
  DialNetworkTest() : logger_(front_end_, home_.path()) {
    unsetenv("KESTREL_DIALUP");
    ResetSimulatedDialup();
    configuration_.AUTODIAL = 1;
    configuration_.CONNECTTIME = 5;
    configuration_.BUSYTRIES = 3;
    configuration_.BUSYPAUSE = 0;
  }
  ~DialNetworkTest() override { ResetSimulatedDialup(); }

  void UsePhonebook(const std::string& content) {
    testing::UseSimulatedPhonebook(home_.Write("phonebook.txt", content));
  }
  void Dial() {
    DialContext context{state_, configuration_, logger_, nullptr};
    DialNetwork(context);
  }
  void Hang(bool all) {
    DialContext context{state_, configuration_, logger_, nullptr};
    HangUp(context, all);
  }
  std::vector<std::string> Lines() const { return front_end_.Lines(Side::Receiving); }

  TempDir home_;
  RecordingFrontEnd front_end_;
  core::Logger logger_;
  config::Configuration configuration_;
  DialState state_;
};

TEST_F(DialNetworkTest, NotInstalledSaysSoAndGivesUp) {
  Dial();
  EXPECT_EQ(Lines(), std::vector<std::string>{"-- No dialup networking installed"});
  EXPECT_TRUE(state_.StopDial);
  EXPECT_FALSE(state_.DialConnected);
  EXPECT_FALSE(state_.DialBusy);
}

TEST_F(DialNetworkTest, UnreadablePhonebookSaysSo) {
  UsePhonebook("broken\n");
  Dial();
  EXPECT_EQ(Lines(), std::vector<std::string>{"-- No dialup networking installed"});
  EXPECT_TRUE(state_.StopDial);
}

TEST_F(DialNetworkTest, AutodialBeyondTheEntriesListsThemAndStopsDialling) {
  UsePhonebook("entry First ISP | connect 0\nentry Second ISP | connect 0\n");
  configuration_.AUTODIAL = 3;
  Dial();
  EXPECT_EQ(Lines(), (std::vector<std::string>{"-- AutoDial number not set correctly: 3",
                                               "-- 1 = First ISP", "-- 2 = Second ISP"}));
  EXPECT_TRUE(state_.StopDial);
  EXPECT_TRUE(SimulatedHistory().dialled.empty());
}

TEST_F(DialNetworkTest, AlreadyOnlineIsNotOurs) {
  UsePhonebook("entry Home | online\n");
  Dial();
  EXPECT_EQ(Lines(), (std::vector<std::string>{"-- Dial entry: Home", "-- We are already online"}));
  EXPECT_TRUE(state_.DialConnected);
  EXPECT_FALSE(state_.OwnConnection);
  EXPECT_NE(state_.Connection.load(), kNoConnection);
  EXPECT_TRUE(SimulatedHistory().dialled.empty());
}

TEST_F(DialNetworkTest, ConnectsCountsDownAndMinimisesTheWindow) {
  UsePhonebook("entry Net | connect 2\nwindow Connected to Net\n");
  Dial();
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "-- Dial entry: Net");
  EXPECT_EQ(lines[1], "-- Dialling network...");
  EXPECT_TRUE(lines[2].starts_with("-- Connected to network (")) << lines[2];
  EXPECT_TRUE(lines[2].ends_with(" seconds)"));
  EXPECT_TRUE(state_.DialConnected);
  EXPECT_TRUE(state_.OwnConnection);
  EXPECT_FALSE(state_.StopDial);
  EXPECT_EQ(SimulatedHistory().minimized, std::vector<std::string>{"Connected to Net"});
  EXPECT_EQ(SimulatedHistory().params_stored, std::vector<std::string>{"Net"});
  auto countdown = front_end_.FieldHistory(core::Field::GetTimeout);
  ASSERT_FALSE(countdown.empty());
  EXPECT_EQ(countdown.front(), "4");
  EXPECT_EQ(countdown.back(), "");

  // The own hang-up drops it.
  Hang(false);
  EXPECT_EQ(Lines().back(), "-- Hanging up own connection");
  EXPECT_EQ(SimulatedHistory().hung_up, std::vector<std::string>{"Net"});
  EXPECT_FALSE(state_.DialConnected);
  EXPECT_FALSE(state_.OwnConnection);
  EXPECT_EQ(state_.Connection.load(), kNoConnection);
}

TEST_F(DialNetworkTest, BusyEveryTimeGivesThreeTriesThenHangsUpAll) {
  UsePhonebook("entry Busy Line | busy\n");
  Dial();
  const std::vector<std::string> expected = {
      "-- Dial entry: Busy Line",
      "-- Dialling network...",
      "-- Hanging up own connection",
      "-- Number was busy, retrying in 0 seconds",
      "-- Redialling network...",
      "-- Hanging up own connection",
      "-- Number was busy, retrying in 0 seconds",
      "-- Redialling network...",
      "-- Hanging up own connection",
      "-- Could not connect",
      "-- No connections",
  };
  EXPECT_EQ(Lines(), expected);
  EXPECT_EQ(SimulatedHistory().dialled.size(), 3u);
  EXPECT_TRUE(state_.StopDial);
  EXPECT_FALSE(state_.DialConnected);
}

TEST_F(DialNetworkTest, OneBusyTryWhenBusyTriesIsZeroOrOne) {
  for (int tries : {0, 1}) {
    ResetSimulatedDialup();
    front_end_.ClearPane(Side::Receiving);
    UsePhonebook("entry Busy | busy\n");
    configuration_.BUSYTRIES = static_cast<std::uint8_t>(tries);
    state_.Connection = kNoConnection;
    Dial();
    EXPECT_EQ(SimulatedHistory().dialled.size(), 1u) << tries;
    EXPECT_TRUE(front_end_.HasLine(Side::Receiving, "-- Could not connect")) << tries;
  }
}

TEST_F(DialNetworkTest, StopWhileTheModemDialsEndsAtTheNextTurn) {
  UsePhonebook("entry Silent | noanswer\n");
  configuration_.CONNECTTIME = 60;
  std::thread stopper([&] {
    std::this_thread::sleep_for(300ms);
    state_.StopDial = true;
  });
  const auto start = std::chrono::steady_clock::now();
  Dial();
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_FALSE(state_.DialConnected);
  EXPECT_FALSE(front_end_.HasLine(Side::Receiving, "-- Could not connect"));
  EXPECT_EQ(Lines().back(), "-- No connections");  // the pending line is not a connection
}

TEST_F(DialNetworkTest, RefusedDialDropsTheAttemptAndGivesUp) {
  UsePhonebook("entry Dead | refused\n");
  Dial();
  EXPECT_EQ(Lines(), (std::vector<std::string>{"-- Dial entry: Dead", "-- Dialling network...",
                                               "-- Hanging up own connection"}));
  EXPECT_TRUE(state_.StopDial);
}

TEST_F(DialNetworkTest, UnreadableDialParameters) {
  UsePhonebook("entry Locked | connect 0 | noparams\n");
  Dial();
  EXPECT_EQ(Lines().back(), "-- Error getting dial parameters");
  EXPECT_TRUE(state_.StopDial);
}

TEST_F(DialNetworkTest, MissingConnectWindowIsReported) {
  UsePhonebook("entry A Rather Long Entry Name | connect 0 | password\n");
  Dial();
  EXPECT_EQ(Lines().back(), "-- Could not mimimize connect window");
  EXPECT_TRUE(state_.DialConnected);
  EXPECT_TRUE(SimulatedHistory().params_stored.empty());  // it had a password
}

TEST(ConnectWindowCaptionTest, CutRule) {
  struct Case {
    std::string text, entry, caption;
  } cases[] = {
      {"Connected to ", "Net", "Connected to Net"},
      {"Connected to ", "12345678901234567890", "Connected to 123456789012345..."},
      {"Connected to ", "1234567890123456", "Connected to 1234567890123456"},     // 29 stays
      {"Connected to ", "12345678901234567", "Connected to 123456789012345..."},  // 30 is cut
      {"", "x", "x"},
  };
  for (const auto& c : cases) EXPECT_EQ(ConnectWindowCaption(c.text, c.entry), c.caption);
}

TEST_F(DialNetworkTest, HangUpWithNothingUp) {
  UsePhonebook("entry Net | connect 0\n");
  Hang(true);
  Hang(false);
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{"-- No connections", "-- Hanging up own connection"}));
}

TEST_F(DialNetworkTest, HangUpAllDropsEveryConnection) {
  UsePhonebook("entry One | online\nentry Two | online\n");
  Hang(true);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"-- Hanging up: One", "-- Hanging up: Two"}));
  EXPECT_EQ(SimulatedHistory().hung_up, (std::vector<std::string>{"One", "Two"}));
  EXPECT_TRUE(state_.StopDial);
}

// NetworkManager through a stand-in "nmcli" first on PATH.
class NmcliTest : public DialNetworkTest {
 protected:
  NmcliTest() {
    home_.Write("nm/profiles", "Wired connection 1\nMobile ISP\n");
    home_.Write("nm/active", "Wired connection 1:802-3-ethernet:eth0\n");
    configuration_.AUTODIAL = 2;
  }
  testing::FakeNmcli nmcli_{home_};
};

TEST_F(NmcliTest, BringsTheProfileUpAndTakesItDown) {
  Dial();
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "-- Dial entry: Mobile ISP");
  EXPECT_TRUE(lines[2].starts_with("-- Connected to network ("));
  EXPECT_TRUE(state_.OwnConnection);
  EXPECT_NE(home_.Read("nm/active").find("Mobile ISP:gsm"), std::string::npos);

  Hang(false);
  EXPECT_EQ(home_.Read("nm/active"), "Wired connection 1:802-3-ethernet:eth0\n");
  EXPECT_NE(home_.Read("nm/calls").find("connection down id Mobile ISP"), std::string::npos);
}

TEST_F(NmcliTest, AlreadyActiveProfileIsOnline) {
  configuration_.AUTODIAL = 1;
  Dial();
  EXPECT_EQ(Lines().back(), "-- We are already online");
  EXPECT_FALSE(state_.OwnConnection);
}

TEST_F(NmcliTest, FailedActivationCannotConnectAndLeavesTheLanAlone) {
  home_.Write("nm/failing", "Mobile ISP\n");
  Dial();
  EXPECT_TRUE(front_end_.HasLine(Side::Receiving, "-- Could not connect"));
  EXPECT_TRUE(front_end_.HasLine(Side::Receiving, "-- No connections"));
  EXPECT_EQ(home_.Read("nm/calls").find("connection down id Wired"), std::string::npos);
  EXPECT_FALSE(state_.DialConnected);
}

// The first activation answers after the connect time-out, during the redial:
// its success is not the redial's, which fails.
TEST_F(NmcliTest, LateAnswerOfATimedOutAttemptIsNotTheRedials) {
  configuration_.CONNECTTIME = 1;
  configuration_.BUSYTRIES = 2;
  home_.Write("nm/answers", "3 0\n5 4\n");
  Dial();
  EXPECT_FALSE(state_.DialConnected);
  EXPECT_TRUE(front_end_.HasLine(Side::Receiving, "-- Redialling network..."));
}

TEST_F(NmcliTest, HangingUpAllTakesDownDialUpLinksOnly) {
  home_.Write("nm/active",
              "Wired connection 1:802-3-ethernet:eth0\nHome WiFi:802-11-wireless:wlan0\n"
              "Office VPN:vpn:\nlo:loopback:lo\nbr0:bridge:br0\nOld Modem:gsm:ttyACM0\n"
              "DSL:pppoe:eth1\nPhone:bluetooth:hci0\n");
  Hang(true);
  EXPECT_EQ(home_.Read("nm/active"),
            "Wired connection 1:802-3-ethernet:eth0\nHome WiFi:802-11-wireless:wlan0\n"
            "Office VPN:vpn:\nlo:loopback:lo\nbr0:bridge:br0\n");
}

TEST_F(NmcliTest, MissingClientMeansNotInstalled) {
  setenv("PATH", home_.MakeDir("empty").c_str(), 1);
  Dial();
  EXPECT_EQ(Lines(), std::vector<std::string>{"-- No dialup networking installed"});
}

// A program ended for taking too long gets the SIGTERM, although the thread
// that started it blocks that signal (as the program's threads do).
TEST(ProgramRunnerTest, EndedProgramSeesSigterm) {
  TempDir dir;
  const std::string mark = dir.path() + "/mark";
  sigset_t exit_signals;
  sigemptyset(&exit_signals);
  sigaddset(&exit_signals, SIGTERM);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &exit_signals, &previous);
  const ProgramResult result =
      RunProgram({"/bin/sh", "-c",
                  "trap 'echo term > " + mark + "; exit 0' TERM; while :; do sleep 0.05; done"},
                 300ms);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(dir.Read("mark"), "term\n");
}

}  // namespace
}  // namespace kestrel::dialup
