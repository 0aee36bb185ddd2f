// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/controller.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/program_home.h"
#include "support/fake_clock.h"
#include "support/recording_front_end.h"
#include "support/simulated_dialup.h"
#include "support/temp_dir.h"

namespace kestrel::app {
namespace {

using namespace std::chrono_literals;
using testing::RecordingFrontEnd;
using testing::TempDir;

enum class JobScript { Finish, Abort, StallUntilAborted, IgnoreAbort, Throw };

// Jobs whose behaviour each test chooses; they log like the real ones do.
class ScriptedJobs : public Jobs {
 public:
  std::atomic<bool> have_files{true};
  std::atomic<bool> build_error{false};
  std::atomic<JobScript> send_script{JobScript::Finish};
  std::atomic<JobScript> get_script{JobScript::Finish};
  std::atomic<int> builds{0};
  std::atomic<int> sends{0};
  std::atomic<int> gets{0};
  std::atomic<bool> release{false};  // ends an IgnoreAbort job

  std::atomic<ListReport> last_report{ListReport::AsConfigured};

  ListOutcome BuildList(const config::Configuration&, outbound::SendList& list, core::Logger&,
                        ListReport report) override {
    ++builds;
    last_report = report;
    list.Clear();
    if (build_error) return ListOutcome::Error;
    if (have_files) list.Add({});
    return have_files ? ListOutcome::Send : ListOutcome::Nothing;
  }
  JobOutcome RunSendJob(JobContext& context) override {
    ++sends;
    EXPECT_EQ(context.send_list().Count(), 1);
    return Run(context, send_script);
  }
  JobOutcome RunGetJob(JobContext& context) override {
    ++gets;
    return Run(context, get_script);
  }

 private:
  JobOutcome Run(JobContext& context, JobScript script) {
    std::atomic<bool> aborted{false};
    context.SetAbortHandler([&] { aborted = true; });
    context.logger().LogLine(context.side(), "-- working");
    const auto limit = std::chrono::steady_clock::now() + 20s;
    switch (script) {
      case JobScript::Finish:
        break;
      case JobScript::Abort:
        aborted = true;
        break;
      case JobScript::StallUntilAborted:
        while (!aborted && std::chrono::steady_clock::now() < limit)
          std::this_thread::sleep_for(5ms);
        break;
      case JobScript::IgnoreAbort:
        while (!release && std::chrono::steady_clock::now() < limit)
          std::this_thread::sleep_for(5ms);
        break;
      case JobScript::Throw:
        context.ClearAbortHandler();
        throw std::runtime_error("file vanished");
    }
    context.ClearAbortHandler();
    JobOutcome outcome;
    if (aborted) outcome.SetAborted("stopped");
    return outcome;
  }
};

constexpr const char* kBothSides =
    "OUTBOUND out\nHOST 127.0.0.1\nFROMEMAIL gate@example.org\nPOPSERVER 127.0.0.1\n"
    "POPUSERNAME fido\nPOPPASSWORD pw\n";

class ControllerTest : public ::testing::Test {
 protected:
  ControllerTest() {
    setenv("KESTREL_HOME", home_.path().c_str(), 1);
    unsetenv("KESTREL_DIALUP");
    testing::ResetSimulatedDialup();
    platform::SetProgramPath("kestrel");
    home_.MakeDir("out");
    home_.Write("KESTREL.FLT", "@ALL\n");
    auto jobs = std::make_unique<ScriptedJobs>();
    jobs_ = jobs.get();
    ControllerOptions options;
    options.poll_pass = 20ms;
    controller_ = std::make_unique<Controller>(front_end_, dispatcher_, options, std::move(jobs));
    controller_->SetHooks({nullptr, [this] { ++closes_; }, nullptr, nullptr});
  }
  ~ControllerTest() override {
    jobs_->release = true;
    if (controller_ && controller_->WorkersAbandoned()) std::this_thread::sleep_for(200ms);
    controller_.reset();
    unsetenv("KESTREL_HOME");
    testing::ResetSimulatedDialup();
  }

  // Serves the user-interface thread until `done` or the limit.
  template <typename Done>
  bool Serve(Done done, std::chrono::milliseconds limit = 15s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      controller_->dispatcher().WaitForWork(10ms);
      controller_->ProcessMessages();
    }
    return true;
  }
  bool ServeUntilIdle() {
    return Serve([&] { return !controller_->AnyTaskRunning(); });
  }
  bool Has(core::Side side, const std::string& line) const {
    return front_end_.HasLine(side, line);
  }
  int Count(const std::string& text, const std::string& what) const {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  TempDir home_;
  RecordingFrontEnd front_end_;
  UiDispatcher dispatcher_;
  ScriptedJobs* jobs_ = nullptr;
  std::unique_ptr<Controller> controller_;
  std::atomic<int> closes_{0};
};

TEST_F(ControllerTest, AutoShutdownRunsBothSidesAndCloses) {
  home_.Write("KESTREL.INI", kBothSides);
  controller_->RunMail({"/AUTO", "/SHUTDOWN"});
  ASSERT_TRUE(Serve([&] { return controller_->CloseRequested(); }));
  EXPECT_EQ(jobs_->sends, 1);
  EXPECT_EQ(jobs_->gets, 1);
  EXPECT_EQ(closes_, 1);
  EXPECT_EQ(controller_->ExitStatus(), 0);
  EXPECT_TRUE(Has(core::Side::Receiving, "-- AUTOMATIC SHUTDOWN"));
  for (const char* log : {"SEND.LOG", "RECEIVE.LOG"}) {
    const std::string text = home_.Read(log);
    EXPECT_EQ(Count(text, "-- Logfile opened"), 1) << log;
    EXPECT_EQ(Count(text, "-- Logfile closed"), 1) << log;
    EXPECT_NE(text.find("-- working\r\n-- Done\r\n-- Logfile closed"), std::string::npos) << text;
  }
  EXPECT_TRUE(controller_->flags().Exiting);
}

TEST_F(ControllerTest, AbortedJobOrUnusableConfigurationFailsTheRun) {
  home_.Write("KESTREL.INI", kBothSides);
  jobs_->get_script = JobScript::Abort;
  controller_->RunMail({"/AUTO", "/SHUTDOWN"});
  ASSERT_TRUE(Serve([&] { return controller_->CloseRequested(); }));
  EXPECT_EQ(controller_->ExitStatus(), 1);
  // Only the failed job's section ends saying so.
  EXPECT_NE(home_.Read("RECEIVE.LOG")
                .find("-- Done\r\n-- Run ended with problems (exit status 1)\r\n-- Logfile closed"),
            std::string::npos);
  EXPECT_EQ(home_.Read("SEND.LOG").find("problems"), std::string::npos);
}

TEST_F(ControllerTest, UnusableConfigurationStartsNothingAndFails) {
  home_.Write("KESTREL.INI", "HOST 127.0.0.1\n");
  controller_->RunMail({"/SEND", "/SHUTDOWN"});
  EXPECT_FALSE(controller_->AnyTaskRunning());
  EXPECT_EQ(jobs_->sends, 0);
  EXPECT_EQ(controller_->ExitStatus(), 2);
  EXPECT_FALSE(controller_->CloseRequested());  // no job ended: no automatic shutdown
}

TEST_F(ControllerTest, NothingToSendIsNoFailure) {
  home_.Write("KESTREL.INI", kBothSides);
  jobs_->have_files = false;
  controller_->RunMail({"/SEND"});
  EXPECT_EQ(jobs_->builds, 1);
  EXPECT_EQ(jobs_->sends, 0);
  EXPECT_EQ(controller_->ExitStatus(), 0);
}

TEST_F(ControllerTest, BuildErrorFailsTheRun) {
  home_.Write("KESTREL.INI", kBothSides);
  jobs_->build_error = true;
  controller_->RunMail({"/SEND"});
  EXPECT_EQ(jobs_->sends, 0);
  EXPECT_EQ(controller_->ExitStatus(), 2);
}

TEST_F(ControllerTest, SwitchesAreSubstringsOfUpperCasedArguments) {
  struct Case {
    std::vector<std::string> args;
    bool send, get;
    std::uint16_t send_interval, get_interval;
    std::string config;
  } cases[] = {
      {{"X/SENDY"}, true, false, 0, 0, "KESTREL.INI"},
      {{"/get"}, false, true, 0, 0, "KESTREL.INI"},
      {{"/AUTO/PUT:15"}, true, true, 900, 0, "KESTREL.INI"},
      {{"/put:15"}, false, false, 900, 0, "KESTREL.INI"},
      {{"/PUT:00450"}, false, false, 2700, 0, "KESTREL.INI"},
      {{"/CHECK:2"}, false, false, 0, 120, "KESTREL.INI"},
      {{"/PUT:9999"}, false, false, 65535, 0, "KESTREL.INI"},  // beyond 16 bits: the largest
      {{"/PUT:-5"}, false, false, 0, 0, "KESTREL.INI"},
      {{"/CFG:c:\\fido\\my.ini"}, false, false, 0, 0, "C:\\FIDO\\MY.INI"},
      {{"/SEND", "", "/GET"}, true, false, 0, 0, "KESTREL.INI"},  // an empty argument ends them
      // A configuration file's name is never searched for switches.
      {{"/REPORT", "/CFG:/etc/kestrel/auto/point.ini"},
       false,
       false,
       0,
       0,
       "/ETC/KESTREL/AUTO/POINT.INI"},
      {{"/GET/CFG:/srv/send/put:15.ini"}, false, true, 0, 0, "/SRV/SEND/PUT:15.INI"},
  };
  for (const Case& c : cases) {
    RecordingFrontEnd front_end;
    auto jobs = std::make_unique<ScriptedJobs>();
    jobs->have_files = false;
    UiDispatcher dispatcher;
    Controller controller(front_end, dispatcher, {}, std::move(jobs));
    controller.RunMail(c.args);
    const std::string what = c.args[0];
    EXPECT_EQ(controller.flags().AutoSend, c.send) << what;
    EXPECT_EQ(controller.flags().AutoGet, c.get) << what;
    EXPECT_EQ(controller.flags().SendInterval, c.send_interval) << what;
    EXPECT_EQ(controller.flags().GetInterval, c.get_interval) << what;
    EXPECT_EQ(controller.ConfigFileName(), c.config) << what;
    EXPECT_EQ(controller.flags().PollingRunning, c.send_interval || c.get_interval) << what;
    controller.ExitButtonClick();
  }
}

TEST_F(ControllerTest, CfgNamesTheFileThatIsRead) {
  home_.Write("KESTREL.INI", "HOST 127.0.0.1\n");  // unusable: must not be the one read
  home_.Write("other.ini", kBothSides);            // found whatever the case on disk
  controller_->RunMail({"/CFG:other.ini", "/SEND"});
  ASSERT_TRUE(ServeUntilIdle());
  EXPECT_EQ(controller_->ConfigFileName(), "OTHER.INI");
  EXPECT_EQ(jobs_->sends, 1);
  EXPECT_EQ(controller_->ExitStatus(), 0);
}

TEST_F(ControllerTest, HangupAndShutdownAloneHangUpEverythingAndClose) {
  testing::UseSimulatedPhonebook(home_.Write("phonebook", "entry Provider | online\n"));
  controller_->RunMail({"/HANGUP", "/SHUTDOWN"});
  EXPECT_TRUE(controller_->CloseRequested());
  EXPECT_TRUE(Has(core::Side::Receiving, "-- Hanging up: Provider"));
  EXPECT_EQ(jobs_->builds, 0);
}

TEST_F(ControllerTest, StopSendDuringAStalledJobEndsIt) {
  home_.Write("KESTREL.INI", kBothSides);
  jobs_->send_script = JobScript::StallUntilAborted;
  controller_->SendButtonClick();
  ASSERT_TRUE(Serve([&] { return front_end_.HasLine(core::Side::Sending, "-- working"); }));
  const auto start = std::chrono::steady_clock::now();
  controller_->StopSendButtonClick();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(controller_->flags().SendRunning);
  const std::string log = home_.Read("SEND.LOG");
  EXPECT_NE(log.find("-- Aborted, shutting down...\r\n-- Done\r\n-- Run ended with problems (exit "
                     "status 1)\r\n-- Logfile closed"),
            std::string::npos)
      << log;
  EXPECT_EQ(controller_->ExitStatus(), 1);
}

TEST_F(ControllerTest, ExitAbandonsAJobThatWillNotStop) {
  home_.Write("KESTREL.INI", kBothSides);
  jobs_->get_script = JobScript::IgnoreAbort;
  controller_->GetOnlyClick();
  ASSERT_TRUE(Serve([&] { return front_end_.HasLine(core::Side::Receiving, "-- working"); }));
  const auto start = std::chrono::steady_clock::now();
  controller_->ExitButtonClick();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GT(took, 4s);
  EXPECT_LT(took, 9s);
  EXPECT_TRUE(controller_->CloseRequested());
  EXPECT_TRUE(controller_->WorkersAbandoned());
  // Its log section was closed by Exit.
  const std::string log = home_.Read("RECEIVE.LOG");
  EXPECT_NE(log.find("-- Aborted, shutting down...\r\n-- Logfile closed"), std::string::npos)
      << log;
}

TEST_F(ControllerTest, ErrorInAJobEndsItLikeANormalEnd) {
  home_.Write("KESTREL.INI", kBothSides);
  jobs_->send_script = JobScript::Throw;
  controller_->SendButtonClick();
  ASSERT_TRUE(ServeUntilIdle());
  EXPECT_TRUE(Has(core::Side::Sending, "-- Error: file vanished"));
  EXPECT_TRUE(Has(core::Side::Sending, "-- Done"));
  EXPECT_FALSE(controller_->flags().SendRunning);
  EXPECT_EQ(controller_->ExitStatus(), 1);
}

TEST_F(ControllerTest, PutPollsAboutEveryMinute) {
  testing::FakeClock clock({2026, 12, 7, 10, 0, 0, 0});
  home_.Write("KESTREL.INI", kBothSides);
  controller_->RunMail({"/PUT:1"});
  EXPECT_TRUE(controller_->flags().PollingRunning);
  // The first round is at start, not a minute later.
  ASSERT_TRUE(Serve([&] { return jobs_->sends == 1 && !controller_->flags().SendRunning; }));
  // 60 seconds after its end are not yet more than the interval.
  clock.AdvanceHundredths(6000);
  std::this_thread::sleep_for(100ms);
  Serve([] { return false; }, 100ms);
  EXPECT_EQ(jobs_->sends, 1);
  for (int round = 2; round <= 3; ++round) {
    clock.AdvanceHundredths(200);
    ASSERT_TRUE(Serve([&] { return jobs_->sends == round && !controller_->flags().SendRunning; }));
    // The job's end restarts the count: the next poll is a minute away.
    clock.AdvanceHundredths(6000);
    Serve([] { return false; }, 100ms);
    EXPECT_EQ(jobs_->sends, round);
  }
  EXPECT_TRUE(front_end_.Field(core::Field::Timeout) != "");
  controller_->ExitButtonClick();
  EXPECT_FALSE(controller_->flags().PollingRunning);
}

TEST_F(ControllerTest, AlreadyOnlineIsNotHungUpAtTheEnd) {
  testing::UseSimulatedPhonebook(home_.Write("phonebook", "entry Net | online\n"));
  home_.Write("KESTREL.INI", std::string(kBothSides) + "AUTODIAL 1\n");
  controller_->RunButtonClick();
  ASSERT_TRUE(ServeUntilIdle());
  EXPECT_TRUE(Has(core::Side::Receiving, "-- We are already online"));
  EXPECT_EQ(jobs_->sends, 1);
  EXPECT_EQ(jobs_->gets, 1);
  EXPECT_FALSE(Has(core::Side::Receiving, "-- Hanging up own connection"));
}

TEST_F(ControllerTest, OwnConnectionIsHungUpOnceAfterTheLaterJob) {
  testing::UseSimulatedPhonebook(home_.Write("phonebook", "entry Net | connect 0\n"));
  home_.Write("KESTREL.INI", std::string(kBothSides) + "AUTODIAL 1\n");
  controller_->RunButtonClick();
  ASSERT_TRUE(ServeUntilIdle());
  EXPECT_EQ(jobs_->sends, 1);
  EXPECT_EQ(jobs_->gets, 1);
  int hangups = 0;
  for (const auto& line : front_end_.Lines(core::Side::Receiving)) {
    hangups += line == "-- Hanging up own connection";
  }
  EXPECT_EQ(hangups, 1);
  EXPECT_EQ(testing::SimulatedHistory().hung_up, std::vector<std::string>{"Net"});
}

TEST_F(ControllerTest, FailedDialStartsNoJob) {
  testing::UseSimulatedPhonebook(home_.Write("phonebook", "entry Net | refused\n"));
  home_.Write("KESTREL.INI", std::string(kBothSides) + "AUTODIAL 1\n");
  controller_->RunButtonClick();
  ASSERT_TRUE(ServeUntilIdle());
  EXPECT_EQ(jobs_->sends, 0);
  EXPECT_EQ(jobs_->gets, 0);
}

TEST_F(ControllerTest, ConnectDoesNothingWithoutAutodial) {
  home_.Write("KESTREL.INI", kBothSides);
  testing::UseSimulatedPhonebook(home_.Write("phonebook", "entry Net | connect 0\n"));
  controller_->ConnectButtonClick();
  EXPECT_FALSE(controller_->flags().DialRunning);
  EXPECT_TRUE(testing::SimulatedHistory().dialled.empty());
}

TEST_F(ControllerTest, CheckBuildsTheListAndSendsNothing) {
  home_.Write("KESTREL.INI", std::string(kBothSides) + "DISABLECHECK yes\n");
  controller_->CheckButtonClick();
  EXPECT_EQ(jobs_->builds, 1);
  EXPECT_EQ(jobs_->last_report, ListReport::Full);
  EXPECT_FALSE(controller_->AnyTaskRunning());
  EXPECT_EQ(jobs_->sends, 0);
}

}  // namespace
}  // namespace kestrel::app

namespace kestrel::app {
namespace {

// The real jobs against a server that accepts and never answers: the stop
// commands and Exit end them within about five seconds, their sections closed.
class StalledServerTest : public ::testing::Test {
 protected:
  StalledServerTest() {
    setenv("KESTREL_HOME", home_.path().c_str(), 1);
    platform::SetProgramPath("kestrel");
    home_.Write("KESTREL.FLT", "@ALL\n");
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 4);
    socklen_t size = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    const std::string port = std::to_string(ntohs(address.sin_port));
    home_.Write("outbound/00ec00c8.out", std::string(100, 'p'));
    home_.Write("KESTREL.INI", "OURZONE 2\nOUTBOUND " + home_.File("outbound") +
                                   "\nHOST 127.0.0.1\nFROMEMAIL g@example.org\nSMTPPORT " + port +
                                   "\nREDIRECT 236/200 node@example.org\nPOPSERVER 127.0.0.1\n"
                                   "POPPORT " +
                                   port + "\nPOPUSERNAME u\nPOPPASSWORD p\nNETTIMEOUT 60\n");
    controller_ = std::make_unique<Controller>(front_end_, dispatcher_);
  }
  ~StalledServerTest() override {
    controller_.reset();
    close(listener_);
    unsetenv("KESTREL_HOME");
  }
  bool ServeUntilLine(core::Side side, const std::string& line) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!front_end_.HasLine(side, line)) {
      if (std::chrono::steady_clock::now() > end) return false;
      controller_->dispatcher().WaitForWork(10ms);
      controller_->ProcessMessages();
    }
    return true;
  }
  void ExpectSectionClosedAfterAbort(const std::string& log_name) {
    const std::string log = home_.Read(log_name);
    const auto aborted = log.find("-- Aborted, shutting down...");
    ASSERT_NE(aborted, std::string::npos) << log;
    EXPECT_NE(log.find("-- Logfile closed", aborted), std::string::npos) << log;
  }

  TempDir home_;
  RecordingFrontEnd front_end_;
  UiDispatcher dispatcher_;
  int listener_ = -1;
  std::unique_ptr<Controller> controller_;
};

TEST_F(StalledServerTest, StopCommandsEndTheJobs) {
  controller_->GetOnlyClick();
  controller_->SendButtonClick();
  ASSERT_TRUE(ServeUntilLine(core::Side::Receiving, "-- Connecting"));
  ASSERT_TRUE(ServeUntilLine(core::Side::Sending, "-- Connecting"));
  auto start = std::chrono::steady_clock::now();
  controller_->StopGetButtonClick();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(controller_->flags().GetRunning);
  start = std::chrono::steady_clock::now();
  controller_->StopSendButtonClick();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(controller_->flags().SendRunning);
  ExpectSectionClosedAfterAbort("RECEIVE.LOG");
  ExpectSectionClosedAfterAbort("SEND.LOG");
  EXPECT_EQ(home_.Read("outbound/00ec00c8.out"), std::string(100, 'p'));
  EXPECT_FALSE(controller_->WorkersAbandoned());
}

TEST_F(StalledServerTest, ExitEndsBothJobs) {
  controller_->RunButtonClick();
  ASSERT_TRUE(ServeUntilLine(core::Side::Receiving, "-- Connecting"));
  ASSERT_TRUE(ServeUntilLine(core::Side::Sending, "-- Connecting"));
  const auto start = std::chrono::steady_clock::now();
  controller_->ExitButtonClick();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_TRUE(controller_->CloseRequested());
  EXPECT_FALSE(controller_->AnyTaskRunning());
  EXPECT_FALSE(controller_->WorkersAbandoned());
  ExpectSectionClosedAfterAbort("RECEIVE.LOG");
  ExpectSectionClosedAfterAbort("SEND.LOG");
}

}  // namespace
}  // namespace kestrel::app
