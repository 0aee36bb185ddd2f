// SPDX-License-Identifier: GPL-2.0-or-later
// The program killed (SIGKILL) at random moments of send runs: at a random
// time, inside the message data, or a few microseconds to milliseconds after
// the server's "250" reached it, while the mailer's files are being updated.
// After each kill every flow file, VFIDO list and stored message is its old or
// its new version, never missing, emptied or torn, and nothing left the
// outbound without a message the server stored. A last clean run sends the
// rest.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
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

// Kills of one seed; KESTREL_CRASH_RUNS asks for more.
constexpr int kDefaultRuns = 16;
constexpr int kNetTimeoutSeconds = 5;
// A run that is not killed ends by itself within this.
constexpr auto kRunLimit = 60s;
// The random kill time: a run sends a few files in this time.
constexpr int kMaxKillMilliseconds = 1000;
// After the "250": the bookkeeping of a message takes about this long here.
constexpr int kMaxKillMicroseconds = 400;
// A get run takes its mail in about this time here.
constexpr int kMaxGetKillMilliseconds = 300;
// Most attachments are longer than this, so a kill this far into one lands inside.
constexpr std::uint64_t kSmallMessageBytes = 3000;

constexpr std::uint16_t kBookkeepingBits = fido::kAttrSent | fido::kAttrFileAttached;

int Runs() {
  const char* text = std::getenv("KESTREL_CRASH_RUNS");
  const int runs = text ? std::atoi(text) : 0;
  return runs > 0 ? runs : kDefaultRuns;
}

std::vector<std::string> SplitLines(const std::string& text, bool& whole_lines) {
  std::vector<std::string> lines;
  whole_lines = text.empty() || text.ends_with("\r\n");
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

// The Message-ID of a stored message, as its header gives it.
std::string MessageIdOf(const std::string& raw) {
  const std::size_t field = raw.find("\nMessage-ID: ");
  if (field == std::string::npos) return {};
  const std::size_t start = field + 13;
  return raw.substr(start, raw.find_first_of("\r\n", start) - start);
}

// The Message-IDs of the received journal's whole entries; a line torn by a
// kill is an entry never made.
std::set<std::string> JournalMessageIds(const std::string& home) {
  std::set<std::string> ids;
  for (const auto& entry : fs::directory_iterator(home)) {
    if (entry.path().extension() != ".JNL") continue;
    const std::string text = ReadAll(entry.path().string());
    std::size_t at = 0;
    for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      std::istringstream fields(text.substr(at, end - at));
      std::string seconds, mailbox, uid, message_id;
      if (fields >> seconds >> mailbox >> uid >> message_id) ids.insert(message_id);
    }
  }
  return ids;
}

// Runs the program and kills it `millis` after its start (never when
// negative; the proxy's armed point may kill it instead). `victim` names the
// running process for the proxy's notification. True when it was killed.
bool RunUntilKilled(testing::ChildProcess& child, const std::vector<std::string>& argv, int millis,
                    testing::FaultProxy& proxy, std::atomic<pid_t>& victim) {
  const bool started = child.Start(argv, false, "");
  EXPECT_TRUE(started);
  if (!started) return false;
  victim.store(child.pid());
  const auto begin = std::chrono::steady_clock::now();
  bool killed = false;
  while (child.Running() && std::chrono::steady_clock::now() - begin < kRunLimit) {
    if (millis >= 0 &&
        std::chrono::steady_clock::now() - begin >= std::chrono::milliseconds(millis)) {
      kill(child.pid(), SIGKILL);
      killed = true;
      break;
    }
    std::this_thread::sleep_for(1ms);
  }
  killed = killed || proxy.Fired();
  // Reaps the child (SIGTERM to what is left, if anything).
  for (int i = 0; i < 1000 && child.Running(); ++i) std::this_thread::sleep_for(5ms);
  victim.store(-1);
  proxy.Disarm();
  child.Stop();
  return killed;
}

class CrashSafetyTest : public ::testing::TestWithParam<unsigned> {
 protected:
  CrashSafetyTest() : world_(GetParam()), proxy_(smtp_.port()), deliveries_(smtp_) {
    world_.WriteConfiguration(proxy_.port(), smtp_.port(), kNetTimeoutSeconds);
  }

  // One console send run, killed as `kill` says; true when it was killed.
  bool RunKilled(int mode, std::string& how) {
    std::mt19937& random = world_.random();
    testing::ChildProcess child;
    // Shared with the proxy's thread, which may still hold the fault.
    auto victim = std::make_shared<std::atomic<pid_t>>(-1);
    const int micros = static_cast<int>(random() % kMaxKillMicroseconds);
    FaultPoint point;
    point.action = FaultAction::Notify;
    point.notify = [victim, micros] {
      std::this_thread::sleep_for(std::chrono::microseconds(micros));
      const pid_t pid = victim->load();
      if (pid > 0) kill(pid, SIGKILL);
    };
    const int message = 1 + static_cast<int>(random() % 2);
    int millis = -1;
    switch (mode) {
      case 0:
        millis = static_cast<int>(random() % kMaxKillMilliseconds);
        how = "at " + std::to_string(millis) + " ms";
        proxy_.Disarm();
        break;
      case 1:
        point.flow = Flow::ToServer;
        point.armed_by = "354 ";
        point.armed_occurrence = message;
        point.offset = random() % kMaxItemBytes;
        how = "inside the data of message " + std::to_string(message);
        proxy_.Arm(point);
        break;
      default:
        point.flow = Flow::ToClient;
        point.armed_by = "\r\n.\r\n";
        point.armed_occurrence = message;
        point.after = "\r\n";
        how = std::to_string(micros) + " us after the 250 of message " + std::to_string(message);
        proxy_.Arm(point);
        break;
    }
    return RunUntilKilled(
        child, {"/usr/bin/env", "KESTREL_HOME=" + world_.Home(), program_, "--console", "/SEND"},
        millis, proxy_, *victim);
  }

  // Every list and stored message is the old or the new version.
  void CheckFiles(const std::string& when) {
    for (const auto& [list, written] : world_.Lists()) {
      if (!fs::exists(list)) continue;  // emptied and deleted: its items are checked below
      bool whole_lines = false;
      const std::vector<std::string> lines = SplitLines(ReadAll(list), whole_lines);
      EXPECT_TRUE(whole_lines) << when << ": " << list << " ends inside a line";
      // The lines left are the lines written, in their order, some taken out.
      std::size_t next = 0;
      for (const std::string& line : lines) {
        while (next < written.size() && written[next] != line) ++next;
        EXPECT_LT(next, written.size()) << when << ": " << list << " holds \"" << line << "\"";
        ++next;
      }
      if (!lines.empty() && mime::UpperCase(list).ends_with(".LST")) {
        const std::string packet = list.substr(0, list.size() - 4) + ".PKT";
        EXPECT_TRUE(fs::exists(packet)) << when << ": " << list << " lost its packet";
      }
    }
    for (const auto& [path, original] : world_.Messages()) {
      if (!fs::exists(path)) continue;  // a kill-sent netmail: its item is checked below
      const std::string now = ReadAll(path);
      ASSERT_EQ(now.size(), original.size()) << when << ": " << path << " changed its size";
      const auto before = testing::DecodeStoredMessage(original);
      const auto after = testing::DecodeStoredMessage(now);
      ASSERT_TRUE(before && after) << when << ": " << path;
      EXPECT_EQ(after->raw_text, before->raw_text) << when << ": " << path << " text changed";
      const std::string& subject = after->header.subject;
      EXPECT_TRUE(subject == before->header.subject || subject.starts_with("KESTREL - Files sent "))
          << when << ": " << path << " subject " << subject;
      EXPECT_EQ(after->header.attribute & ~kBookkeepingBits,
                before->header.attribute & ~kBookkeepingBits)
          << when << ": " << path;
      // The bookkeeping changes the subject and the attribute, nothing else.
      fido::StoredMessageHeader rest = after->header;
      rest.subject = before->header.subject;
      rest.attribute = before->header.attribute;
      EXPECT_TRUE(rest == before->header) << when << ": " << path << " header changed";
    }
    for (const Item& item : world_.items()) {
      if (item.kind == ItemKind::Attached) {
        EXPECT_TRUE(fs::exists(item.list)) << when << ": " << item.list << " vanished";
      }
      const std::string problem = world_.Check(item, deliveries_);
      EXPECT_TRUE(problem.empty()) << when << ": " << problem;
    }
  }

  // What a killed run leaves: its busy flags (the mailer drops stale ones
  // after a while; here they go at once), temporary copies, packed netmail.
  int RemoveLeftovers() {
    const auto leftovers = world_.Leftovers();
    for (const std::string& relative : leftovers) fs::remove(world_.Path(relative));
    return static_cast<int>(leftovers.size());
  }

  FidoWorld world_;
  testing::SmtpServer smtp_;
  testing::FaultProxy proxy_;
  Deliveries deliveries_;
  std::string program_ = testing::ProgramPath();
};

TEST_P(CrashSafetyTest, KilledRunsLeaveOldOrNewFilesAndLoseNothing) {
  if (!fs::exists(program_)) GTEST_SKIP() << "the program is not built: " << program_;
  ASSERT_TRUE(smtp_.running()) << smtp_.ServerLog();
  ASSERT_TRUE(proxy_.running());
  std::mt19937& random = world_.random();
  world_.AddRandomItems(5);

  int kills = 0;
  int leftovers = 0;
  const int runs = Runs();
  for (int run = 1; run <= runs; ++run) {
    world_.AddRandomItems(static_cast<int>(random() % 3));
    std::string how;
    // Most kills aim at the bookkeeping after a confirmation.
    const int modes[] = {0, 1, 2, 2, 2};
    const int mode = modes[random() % 5];
    kills += RunKilled(mode, how) ? 1 : 0;
    const std::string when =
        "seed " + std::to_string(GetParam()) + " run " + std::to_string(run) + " killed " + how;
    deliveries_.Refresh();
    CheckFiles(when);
    if (HasFailure()) return;
    leftovers += RemoveLeftovers();
  }

  // A run to its end sends everything that is left.
  proxy_.Disarm();
  std::string how;
  testing::ChildProcess child;
  ASSERT_TRUE(
      child.Start({"/usr/bin/env", "KESTREL_HOME=" + world_.Home(), program_, "--console", "/SEND"},
                  false, ""));
  const auto begin = std::chrono::steady_clock::now();
  while (child.Running() && std::chrono::steady_clock::now() - begin < kRunLimit) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_FALSE(child.Running());
  child.Stop();
  deliveries_.Refresh();
  CheckFiles("clean run");
  for (const Item& item : world_.items()) {
    EXPECT_FALSE(world_.Waiting(item)) << item.label << " still waits";
    EXPECT_GE(deliveries_.Count(item), 1) << item.label;
  }
  EXPECT_TRUE(world_.Leftovers().empty()) << world_.Leftovers().front();
  // A kill finds at most one message between the server's storing it and its
  // bookkeeping, so each kill sends at most one message again. Killed before
  // its sent record, it goes again under its Message-ID (the receiving
  // gateway drops the copy); killed after the record, under a new one, as a
  // file queued again after a confirmed send does.
  std::set<std::string> ids;
  int repeats = 0;
  for (const Delivered& message : deliveries_.all()) {
    repeats += ids.insert(MessageIdOf(message.raw)).second ? 0 : 1;
  }
  std::size_t again = 0;
  for (const Item& item : world_.items()) {
    const std::size_t carried = deliveries_.Carrying(item).size();
    again += carried > 1 ? carried - 1 : 0;
  }
  EXPECT_LE(again, static_cast<std::size_t>(kills));
  std::cout << "[ crash ] seed " << GetParam() << ": " << runs << " runs, " << kills << " killed, "
            << world_.items().size() << " items, " << deliveries_.all().size()
            << " messages stored, " << repeats << " of them sent again, " << leftovers
            << " leftovers of killed runs removed\n";
}

INSTANTIATE_TEST_SUITE_P(Seeds, CrashSafetyTest, ::testing::Values(5u, 17u));

// The program killed during get runs: inside the data of a message, right
// after the closing "." (while its attachments are finished), right after a
// DELE, or at a random time. The inbound shows only whole files under their
// names; a message leaves the mailbox only with its saved text and
// attachments whole; a clean run takes the rest and clears what was left.
// Over POP3, and over IMAP (the same mailbox).
struct GetCrashRun {
  unsigned seed;
  bool imap = false;
};

class ReceiveCrashTest : public ::testing::TestWithParam<GetCrashRun> {
 protected:
  ReceiveCrashTest()
      : world_(GetParam().seed),
        proxy_(GetParam().imap ? pop3_.imap_port() : pop3_.port()),
        deliveries_(smtp_) {
    setenv("KESTREL_HOME", world_.Home().c_str(), 1);
    world_.WriteConfiguration(smtp_.port(), proxy_.port(), kNetTimeoutSeconds);
    if (GetParam().imap) {
      world_.AppendConfiguration("IMAPSERVER 127.0.0.1\nIMAPPORT " + std::to_string(proxy_.port()) +
                                 "\nIMAPUSERNAME " + pop3_.user() + "\nIMAPPASSWORD " +
                                 pop3_.password() + "\n");
    }
  }
  ~ReceiveCrashTest() override { unsetenv("KESTREL_HOME"); }

  // Sends what waits (in this process, no faults) and hands it to the mailbox.
  void MailNewItems(int count) {
    world_.AddRandomItems(count);
    std::string log;
    ASSERT_TRUE(RunCoreJob(world_.Home(), core::Side::Sending, log));
    for (int i = 0; i < 50 && deliveries_.Refresh() == 0 && count > 0; ++i) {
      std::this_thread::sleep_for(20ms);
    }
    deliveries_.Refresh();
    for (std::size_t i = 0; i < deliveries_.all().size(); ++i) {
      if (!handed_.insert(deliveries_.all()[i].file).second) continue;
      pop3_.AddMessage(deliveries_.all()[i].raw);
      in_mailbox_.push_back(i);
    }
  }

  // Starts "kestrel --console /GET" and kills it as `mode` says.
  bool RunKilled(int mode, std::string& how) {
    const bool imap = GetParam().imap;
    std::mt19937& random = world_.random();
    auto victim = std::make_shared<std::atomic<pid_t>>(-1);
    const int micros = static_cast<int>(random() % kMaxKillMicroseconds);
    FaultPoint point;
    point.action = FaultAction::Notify;
    point.flow = Flow::ToClient;
    point.notify = [victim, micros] {
      std::this_thread::sleep_for(std::chrono::microseconds(micros));
      const pid_t pid = victim->load();
      if (pid > 0) kill(pid, SIGKILL);
    };
    const int message = 1 + static_cast<int>(random() % 2);
    point.armed_occurrence = message;
    int millis = -1;
    switch (mode) {
      case 0:
        millis = static_cast<int>(random() % kMaxGetKillMilliseconds);
        how = "at " + std::to_string(millis) + " ms";
        break;
      case 1:
        // Into the attachment's lines, once its partial file exists.
        point.armed_by = imap ? " BODY.PEEK[]" : "RETR ";
        point.after = "BASE64\r\n\r\n";
        point.offset = random() % kSmallMessageBytes;
        how = "inside the data of message " + std::to_string(message);
        break;
      case 2:
        point.armed_by = imap ? " BODY.PEEK[]" : "RETR ";
        point.after = imap ? "\r\n)\r\n" : "\r\n.\r\n";
        how = std::to_string(micros) + " us after the data of message " + std::to_string(message);
        break;
      default:
        point.armed_by = imap ? " UID EXPUNGE " : "DELE ";
        point.after = "\r\n";
        how =
            std::to_string(micros) + " us after the removal of message " + std::to_string(message);
        break;
    }
    if (imap && (mode == 1 || mode == 2)) {
      // The bodies of a set come in one FETCH: the message-th of its data.
      point.armed_occurrence = 1;
      point.after_occurrence = message;
    }
    if (millis < 0) proxy_.Arm(point);
    testing::ChildProcess child;
    return RunUntilKilled(
        child, {"/usr/bin/env", "KESTREL_HOME=" + world_.Home(), program_, "--console", "/GET"},
        millis, proxy_, *victim);
  }

  // Whole files only under real names; nothing gone from the mailbox unless
  // its saved text and attachments are whole.
  void CheckReceived(const std::string& when) {
    std::vector<std::string> inbound;
    for (const std::string& file : world_.InboundFiles()) {
      const std::string name = fs::path(file).filename().string();
      if (name.starts_with(".") && name.ends_with(".kestrel-partial")) {  // hidden
        ++partials_seen_;
        continue;
      }
      inbound.push_back(ReadAll(file));
      EXPECT_TRUE(deliveries_.IsAttachment(inbound.back()))
          << when << ": " << name << " is not a whole attachment";
    }
    // dovecot removes deleted messages at QUIT, which may come just after the kill.
    std::this_thread::sleep_for(50ms);
    const std::vector<std::string> remaining = pop3_.RemainingMessages();
    const std::set<std::string> saved = world_.SavedTexts();
    for (std::size_t index : in_mailbox_) {
      const Delivered& message = deliveries_.all()[index];
      if (std::find(remaining.begin(), remaining.end(), message.raw) != remaining.end()) continue;
      EXPECT_EQ(saved.count(Normalised(message.raw)), 1u)
          << when << ": " << message.file << " left the mailbox without its saved text";
      for (const auto& part : message.parts) {
        if (part.filename.empty()) continue;
        EXPECT_NE(std::find(inbound.begin(), inbound.end(), part.content), inbound.end())
            << when << ": " << message.file << " left the mailbox without " << part.filename;
      }
    }
  }

  // Files in the inbound beyond one for each message the journal knows: the
  // files of messages a kill caught between their file's name and their
  // journal entry, and the second copies taken of them since.
  int ExtraFiles(const std::string& when) {
    const std::set<std::string> known = JournalMessageIds(world_.Home());
    std::map<std::string, int> extra;  // by content
    for (const std::string& file : world_.InboundFiles()) {
      if (!fs::path(file).filename().string().starts_with(".")) ++extra[ReadAll(file)];
    }
    for (std::size_t index : in_mailbox_) {
      const Delivered& message = deliveries_.all()[index];
      if (known.count(MessageIdOf(message.raw)) == 0) continue;
      for (const auto& part : message.parts) {
        if (!part.filename.empty()) --extra[part.content];
      }
    }
    int total = 0;
    for (const auto& [content, more] : extra) {
      EXPECT_GE(more, 0) << when << ": a message the journal knows lacks its file";
      total += more;
    }
    return total;
  }

  FidoWorld world_;
  testing::SmtpServer smtp_;
  testing::Pop3Server pop3_;
  testing::FaultProxy proxy_;
  Deliveries deliveries_;
  std::set<std::string> handed_;
  std::vector<std::size_t> in_mailbox_;
  int partials_seen_ = 0;  // partial attachments a kill left, hidden
  std::string program_ = testing::ProgramPath();
};

TEST_P(ReceiveCrashTest, KilledGetRunsLeaveNoPartialFileAndLoseNoMail) {
  if (!fs::exists(program_)) GTEST_SKIP() << "the program is not built: " << program_;
  ASSERT_TRUE(smtp_.running()) << smtp_.ServerLog();
  ASSERT_TRUE(pop3_.running()) << pop3_.ServerLog();
  ASSERT_TRUE(proxy_.running());
  std::mt19937& random = world_.random();
  MailNewItems(6);

  int kills = 0;
  int caught = 0;  // files a kill left without their message's journal entry
  const int runs = Runs() * 3 / 4;
  for (int run = 1; run <= runs; ++run) {
    MailNewItems(1 + static_cast<int>(random() % 2));
    std::string how;
    // Half of the kills aim inside an attachment.
    const int modes[] = {0, 1, 1, 2, 3, 1};
    kills += RunKilled(modes[random() % 6], how) ? 1 : 0;
    const std::string when = "seed " + std::to_string(GetParam().seed) +
                             (GetParam().imap ? " imap" : "") + " get run " + std::to_string(run) +
                             " killed " + how;
    CheckReceived(when);
    // Messages are taken one after another, each with one file: a kill finds
    // at most one between its file's name and its journal entry.
    const int added = ExtraFiles(when) - caught;
    EXPECT_GE(added, 0) << when;
    EXPECT_LE(added, 1) << when << ": more than one message without its journal entry";
    caught += added;
    if (HasFailure()) return;
  }

  testing::ChildProcess child;
  ASSERT_TRUE(child.Start(
      {"/usr/bin/env", "KESTREL_HOME=" + world_.Home(), program_, "--console", "/GET"}, false, ""));
  const auto begin = std::chrono::steady_clock::now();
  while (child.Running() && std::chrono::steady_clock::now() - begin < kRunLimit) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_FALSE(child.Running());
  child.Stop();
  CheckReceived("clean get");
  EXPECT_TRUE(pop3_.RemainingMessages().empty());
  EXPECT_TRUE(world_.Leftovers().empty()) << world_.Leftovers().front();
  std::map<std::string, int> copies;  // by content: in the inbound less sent
  std::vector<std::string> inbound;
  for (const std::string& file : world_.InboundFiles()) {
    inbound.push_back(ReadAll(file));
    ++copies[inbound.back()];
  }
  for (const Delivered& message : deliveries_.all()) {
    for (const auto& part : message.parts) {
      if (part.filename.empty()) continue;
      EXPECT_EQ(copies.count(part.content), 1u) << part.filename << " never arrived";
      --copies[part.content];  // two packets may be alike
    }
  }
  // A kill between an attachment getting its name and the journal entry of
  // its message is the one moment that can leave a second copy: each file it
  // left is one, and a clean run leaves none.
  int duplicates = 0;
  for (const auto& [content, more] : copies) duplicates += std::max(more, 0);
  EXPECT_EQ(ExtraFiles("clean get"), caught);
  EXPECT_EQ(duplicates, caught);
  std::cout << "[ crash ] seed " << GetParam().seed << (GetParam().imap ? " IMAP" : "") << ": "
            << runs << " get runs, " << kills << " killed, " << partials_seen_
            << " partial files left hidden, " << deliveries_.all().size() << " messages, "
            << inbound.size() << " files in the inbound, " << duplicates
            << " of them a second copy\n";
}

INSTANTIATE_TEST_SUITE_P(Seeds, ReceiveCrashTest,
                         ::testing::Values(GetCrashRun{3}, GetCrashRun{11, true}),
                         [](const auto& info) {
                           return "seed" + std::to_string(info.param.seed) +
                                  (info.param.imap ? "_imap" : "");
                         });

}  // namespace
}  // namespace kestrel::faults
