// SPDX-License-Identifier: GPL-2.0-or-later
// Single faults of the send job, each at one point, with what must hold
// afterwards: the packet packed for an unconfirmed netmail does not stay in
// the program's directory, and busy flags exist exactly while a node's files
// go (lower case beside a lower-case outbound) and are gone after a Stop.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <thread>

#include "fido_world.h"
#include "mime/ascii_text.h"
#include "support/fault_proxy.h"
#include "support/program_path.h"

namespace kestrel::faults {
namespace {

using testing::FaultAction;
using testing::FaultPoint;
using testing::Flow;
using namespace std::chrono_literals;

constexpr int kNetTimeoutSeconds = 5;
// The tosser adds a line this often, this many at most (a send run of four
// files takes about three seconds).
constexpr auto kAddPause = std::chrono::milliseconds(20);
constexpr int kMaxAddedLines = 150;

class SendFaultsTest : public ::testing::Test {
 protected:
  SendFaultsTest() : world_(7), proxy_(smtp_.port()), deliveries_(smtp_) {
    setenv("KESTREL_HOME", world_.Home().c_str(), 1);
    world_.WriteConfiguration(proxy_.port(), 0, kNetTimeoutSeconds);
  }
  ~SendFaultsTest() override { unsetenv("KESTREL_HOME"); }

  void SetUp() override {
    ASSERT_TRUE(smtp_.running()) << smtp_.ServerLog();
    ASSERT_TRUE(proxy_.running());
  }

  bool Send() { return RunCoreJob(world_.Home(), core::Side::Sending, log_); }

  std::vector<std::string> BusyFlags() const {
    std::vector<std::string> flags;
    for (const auto& entry : fs::directory_iterator(world_.Path("fido/outbound"))) {
      const std::string name = entry.path().filename().string();
      if (mime::UpperCase(name).ends_with(".BSY")) flags.push_back(name);
    }
    return flags;
  }

  FidoWorld world_;
  testing::SmtpServer smtp_;
  testing::FaultProxy proxy_;
  Deliveries deliveries_;
  std::string log_;
};

TEST_F(SendFaultsTest, UnconfirmedNetmailLeavesNoPacketBehindAndGoesNextTime) {
  world_.AddNetmail(0);
  const Item item = world_.items().front();
  FaultPoint cut;
  cut.action = FaultAction::Cut;
  cut.flow = Flow::ToClient;
  cut.armed_by = "\r\n.\r\n";
  proxy_.Arm(cut);
  ASSERT_TRUE(Send());
  ASSERT_TRUE(proxy_.Fired()) << log_;
  EXPECT_TRUE(world_.Waiting(item)) << log_;
  EXPECT_TRUE(world_.Leftovers().empty()) << world_.Leftovers().front() << "\n" << log_;

  ASSERT_TRUE(Send());
  EXPECT_FALSE(world_.Waiting(item)) << log_;
  EXPECT_TRUE(world_.Leftovers().empty()) << log_;
  ASSERT_TRUE(smtp_.WaitForMessages(2));
  deliveries_.Refresh();
  EXPECT_EQ(deliveries_.Count(item), 2);  // the first confirmation was lost
}

// Where the send job is held while the test looks at the outbound.
struct StopCase {
  const char* label;
  int node;            // 0: lower-case outbound, 1: upper-case
  FaultPoint stall;    // the proxy holds the connection here
  bool flag_expected;  // a busy flag exists while the job is held
};

// Test names and messages show the case, not its bytes.
void PrintTo(const StopCase& test, std::ostream* out) {
  *out << test.label;
}

FaultPoint StallAt(Flow flow, const char* armed_by, std::uint64_t offset) {
  FaultPoint point;
  point.action = FaultAction::Stall;
  point.flow = flow;
  point.armed_by = armed_by;
  point.offset = offset;
  return point;
}

class StopTest : public SendFaultsTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopTest, BusyFlagsExistWhileTheNodeIsServedAndGoWithTheStop) {
  const StopCase& test = GetParam();
  world_.AddListed(test.node, false);
  world_.AddListed(test.node, false);
  // Long enough that a stopped job would have sent it by now.
  world_.WriteConfiguration(proxy_.port(), 0, 60);
  proxy_.Arm(test.stall);

  testing::RecordingFrontEnd front_end;
  core::Logger logger(front_end, world_.Home());
  config::Configuration configuration;
  ASSERT_TRUE(config::ReadConfiguration(core::Side::Sending, "KESTREL.INI", configuration, logger));
  app::JobContext context(core::Side::Sending, configuration, logger);
  auto jobs = app::MakeCoreJobs();
  ASSERT_EQ(jobs->BuildList(context.configuration(), context.send_list(), logger),
            app::ListOutcome::Send);
  std::thread job([&] { (void)jobs->RunSendJob(context); });
  for (int i = 0; i < 200 && !proxy_.Fired(); ++i) std::this_thread::sleep_for(20ms);
  const bool fired = proxy_.Fired();
  std::this_thread::sleep_for(200ms);
  const std::vector<std::string> held_flags = BusyFlags();
  const std::string held_content =
      held_flags.empty() ? "" : ReadAll(world_.Path("fido/outbound/" + held_flags.front()));
  const auto stopped = std::chrono::steady_clock::now();
  context.Abort();  // what the Stop command does
  job.join();
  const auto took = std::chrono::steady_clock::now() - stopped;

  ASSERT_TRUE(fired);
  const std::string expected =
      std::string(kNodes[test.node].base) + (test.node == 0 ? ".bsy" : ".BSY");
  if (test.flag_expected) {
    EXPECT_EQ(held_flags, std::vector<std::string>{expected});
    EXPECT_EQ(held_content, std::to_string(getpid()) + "\n");
  } else {
    EXPECT_TRUE(held_flags.empty()) << held_flags.front();
  }
  EXPECT_TRUE(BusyFlags().empty()) << BusyFlags().front();
  EXPECT_LT(took, 3s);
  for (const Item& item : world_.items()) EXPECT_TRUE(world_.Waiting(item)) << item.label;
}

INSTANTIATE_TEST_SUITE_P(
    Points, StopTest,
    ::testing::Values(StopCase{"greeting", 0, StallAt(Flow::ToClient, "", 0), false},
                      StopCase{"data lower", 0, StallAt(Flow::ToServer, "354 ", 100), true},
                      StopCase{"data upper", 1, StallAt(Flow::ToServer, "354 ", 100), true},
                      StopCase{"reply", 0, StallAt(Flow::ToClient, "\r\n.\r\n", 0), true}),
    [](const auto& info) {
      std::string name = info.param.label;
      for (char& c : name) c = c == ' ' ? '_' : c;
      return name;
    });

// A tosser that honours busy flags adds files to the flow file while the
// send job runs: it takes the node's flag exclusively, appends, lets go. The
// job rewrites that flow file after every confirmed message, yet no line the
// tosser added is lost.
TEST_F(SendFaultsTest, LinesAddedUnderTheBusyFlagMeanwhileSurvive) {
  for (int i = 0; i < 4; ++i) world_.AddListed(0, false);
  const std::string flow = world_.Path("fido/outbound/00ec0064.flo");
  const std::string flag = world_.Path("fido/outbound/00ec0064.bsy");
  std::atomic<bool> stop{false};
  std::vector<Item> added;
  int refused = 0;
  std::thread tosser([&] {
    // Only once the job serves the node: a flag the tosser held at the start
    // would make the job skip the node as busy.
    while (!stop && access(flag.c_str(), F_OK) != 0) std::this_thread::sleep_for(1ms);
    for (int n = 1; !stop && n <= kMaxAddedLines; ++n) {
      const int fd = open(flag.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0) {
        ++refused;  // the node is being served
        std::this_thread::sleep_for(1ms);
        continue;
      }
      close(fd);
      const std::string content = "added " + std::to_string(n) + std::string(500, 'x');
      const std::string file = world_.dir().Write("fido/files/t" + std::to_string(n), content);
      {
        std::ofstream out(flow, std::ios::binary | std::ios::app);
        out << file << "\r\n";
      }
      added.push_back({ItemKind::Listed, 0, file, flow, file, content, "added " + file});
      unlink(flag.c_str());
      std::this_thread::sleep_for(kAddPause);
    }
  });
  ASSERT_TRUE(Send());
  stop = true;
  tosser.join();
  EXPECT_GT(refused, 0) << "the job never held the flag while the tosser tried";
  for (Item& item : added) world_.items().push_back(std::move(item));
  deliveries_.Refresh();
  for (const Item& item : world_.items()) {
    const std::string problem = world_.Check(item, deliveries_);
    EXPECT_TRUE(problem.empty()) << problem << "\n" << log_;
  }
}

// The program stopped by SIGTERM (what systemd sends), SIGHUP (a closed
// terminal, a reload) or SIGQUIT while the server holds the message data: it
// ends within seconds and takes its busy flag with it.
class TerminationTest : public SendFaultsTest, public ::testing::WithParamInterface<int> {};

TEST_P(TerminationTest, TerminatedProgramRemovesItsBusyFlag) {
  const std::string program = testing::ProgramPath();
  if (!fs::exists(program)) GTEST_SKIP() << "the program is not built: " << program;
  world_.AddListed(0, false);
  world_.WriteConfiguration(proxy_.port(), 0, 60);
  proxy_.Arm(StallAt(Flow::ToServer, "354 ", 10));
  testing::ChildProcess child;
  ASSERT_TRUE(child.Start(
      {"/usr/bin/env", "KESTREL_HOME=" + world_.Home(), program, "--console", "/SEND"}, false, ""));
  for (int i = 0; i < 500 && !proxy_.Fired(); ++i) std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(proxy_.Fired());
  EXPECT_EQ(BusyFlags(), std::vector<std::string>{"00ec0064.bsy"});
  // The flag names its owner, as the mailers' flags do.
  EXPECT_EQ(ReadAll(world_.Path("fido/outbound/00ec0064.bsy")), std::to_string(child.pid()) + "\n");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(kill(child.pid(), GetParam()), 0);
  while (child.Running() && std::chrono::steady_clock::now() - start < 15s) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_FALSE(child.Running());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 7s);
  child.Stop();
  EXPECT_TRUE(BusyFlags().empty()) << BusyFlags().front();
  for (const Item& item : world_.items()) EXPECT_TRUE(world_.Waiting(item)) << item.label;
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationTest, ::testing::Values(SIGTERM, SIGHUP, SIGQUIT),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// The mailer's flags in either case, BSY or CSY, keep the node's files where
// they are; flags that are not ours are left alone. A dangling link under the
// flag's name stands for a flag that appears between the look and the
// creation: only an exclusive create notices it.
struct ForeignFlagCase {
  const char* flag;  // written beside 00ec0064.flo
  bool dangling_link = false;
};

void PrintTo(const ForeignFlagCase& test, std::ostream* out) {
  *out << test.flag << (test.dangling_link ? " (dangling link)" : "");
}

class ForeignFlagTest : public SendFaultsTest,
                        public ::testing::WithParamInterface<ForeignFlagCase> {};

TEST_P(ForeignFlagTest, NodeHeldByTheMailerIsSkipped) {
  world_.AddListed(0, false);
  world_.AddPacket(0);
  const std::string flag = world_.Path(std::string("fido/outbound/") + GetParam().flag);
  if (GetParam().dangling_link) {
    fs::create_symlink(world_.Path("nowhere"), flag);
  } else {
    world_.dir().Write(std::string("fido/outbound/") + GetParam().flag, "");
  }
  ASSERT_TRUE(Send());
  for (const Item& item : world_.items()) EXPECT_TRUE(world_.Waiting(item)) << item.label << log_;
  EXPECT_TRUE(smtp_.Messages().empty());
  EXPECT_TRUE(fs::is_symlink(flag) || fs::exists(flag));
  EXPECT_FALSE(fs::exists(world_.Path("nowhere")));
  EXPECT_EQ(BusyFlags().size(), mime::UpperCase(GetParam().flag).ends_with(".BSY") ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Flags, ForeignFlagTest,
                         ::testing::Values(ForeignFlagCase{"00ec0064.bsy"},
                                           ForeignFlagCase{"00EC0064.BSY"},
                                           ForeignFlagCase{"00ec0064.csy"},
                                           ForeignFlagCase{"00EC0064.CSY"},
                                           ForeignFlagCase{"00ec0064.bsy", true}),
                         [](const auto& info) {
                           std::string name = info.param.flag;
                           for (char& c : name) c = c == '.' ? '_' : c;
                           return name + (info.param.dangling_link ? "_link" : "");
                         });

}  // namespace
}  // namespace kestrel::faults
