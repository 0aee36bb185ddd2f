// SPDX-License-Identifier: GPL-2.0-or-later
// Mail survives a seeded sequence of broken connections: the send and get
// jobs run through a proxy that cuts, resets or stalls the SMTP and POP3
// connections at chosen points (the greeting, inside DATA, right after the
// final "." before and after the reply, inside RETR data, right after DELE,
// any byte), then a clean round. After every run: nothing left the outbound
// without a stored message, no partial file in the inbound, nothing deleted
// from the mailbox before its saved text and attachments were whole. At the
// end every item has arrived, byte for byte, and exactly once in the inbound,
// however often it was sent.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <ostream>
#include <thread>

#include "fido_world.h"
#include "platform/program_home.h"
#include "support/fault_proxy.h"

namespace kestrel::faults {
namespace {

using testing::FaultAction;
using testing::FaultPoint;
using testing::Flow;
using namespace std::chrono_literals;

// Rounds of one seed; KESTREL_FAULT_ROUNDS asks for more.
constexpr int kDefaultRounds = 5;
// Byte offsets under TLS stay within what a get run usually fetches.
constexpr std::uint64_t kTlsReachBytes = 30000;
// Short network waits keep a stalled connection cheap.
constexpr int kNetTimeoutSeconds = 2;

int Rounds() {
  const char* text = std::getenv("KESTREL_FAULT_ROUNDS");
  const int rounds = text ? std::atoi(text) : 0;
  return rounds > 0 ? rounds : kDefaultRounds;
}

FaultAction RandomAction(std::mt19937& random) {
  switch (random() % 5) {
    case 0:
    case 1:
      return FaultAction::Cut;
    case 2:
      return FaultAction::Reset;
    default:
      return FaultAction::Stall;
  }
}

// A point for the SMTP connection. Under TLS only the plain greeting and byte
// offsets can be aimed at: the protocol's texts are encrypted.
FaultPoint SmtpFault(std::mt19937& random, bool tls) {
  FaultPoint point;
  point.action = RandomAction(random);
  const int message = 1 + static_cast<int>(random() % 3);
  const unsigned choice = static_cast<unsigned>(random() % 5);
  switch (tls && choice != 0 ? 4 : choice) {
    case 0:
      point.flow = Flow::ToClient;
      point.offset = random() % 30;
      point.label = "greeting";
      break;
    case 1:
      point.flow = Flow::ToServer;
      point.armed_by = "354 ";
      point.armed_occurrence = message;
      point.offset = random() % (kMaxItemBytes / 2);
      point.label = "inside DATA";
      break;
    case 2:
      point.flow = Flow::ToClient;
      point.armed_by = "\r\n.\r\n";
      point.armed_occurrence = message;
      point.label = "after the final dot, before the reply";
      break;
    case 3:
      point.flow = Flow::ToClient;
      point.armed_by = "\r\n.\r\n";
      point.armed_occurrence = message;
      point.after = "\r\n";
      point.label = "after the final dot and its reply";
      break;
    default:
      point.flow = random() % 2 == 0 ? Flow::ToClient : Flow::ToServer;
      point.offset = random() % (point.flow == Flow::ToClient ? 600 : 3 * kMaxItemBytes);
      point.label = "any byte";
      break;
  }
  return point;
}

FaultPoint Pop3Fault(std::mt19937& random, bool tls) {
  FaultPoint point;
  point.action = RandomAction(random);
  point.flow = Flow::ToClient;
  const int message = 1 + static_cast<int>(random() % 3);
  const unsigned choice = static_cast<unsigned>(random() % 6);
  switch (tls ? 5 : choice) {
    case 0:
      point.offset = random() % 20;
      point.label = "greeting";
      break;
    case 1:
      point.armed_by = "RETR ";
      point.armed_occurrence = message;
      point.after = "\r\n";
      point.offset = random() % kMaxItemBytes;
      point.label = "inside RETR data";
      break;
    case 2:
      point.armed_by = "DELE ";
      point.armed_occurrence = message;
      point.label = "after DELE, before its reply";
      break;
    case 3:
      point.armed_by = "DELE ";
      point.armed_occurrence = message;
      point.after = "\r\n";
      point.label = "after DELE and its reply";
      break;
    case 4:
      point.armed_by = "QUIT";
      point.label = "after QUIT";
      break;
    default:
      point.flow = random() % 2 == 0 ? Flow::ToClient : Flow::ToServer;
      // Under TLS the mail of a run is aimed at: a run fetches a few dozen KB.
      point.offset =
          random() %
          (point.flow == Flow::ToClient ? (tls ? kTlsReachBytes : 2 * kMaxItemBytes) : 400);
      point.label = "any byte";
      break;
  }
  return point;
}

// A point for the IMAP connection, aimed by the commands' texts.
FaultPoint ImapFault(std::mt19937& random) {
  FaultPoint point;
  point.action = RandomAction(random);
  point.flow = Flow::ToClient;
  point.armed_occurrence = 1 + static_cast<int>(random() % 3);
  switch (random() % 7) {
    case 0:
      point.armed_occurrence = 1;
      point.offset = random() % 40;
      point.label = "greeting";
      break;
    case 1:
      point.armed_by = " BODY.PEEK[]";
      point.after = "}\r\n";
      point.offset = random() % kMaxItemBytes;
      point.label = "inside the message's literal";
      break;
    case 2:
      point.armed_by = " UID STORE ";
      point.label = "after STORE, before its reply";
      break;
    case 3:
      point.armed_by = " UID EXPUNGE ";
      point.label = "after EXPUNGE, before its reply";
      break;
    case 4:
      point.armed_by = " UID EXPUNGE ";
      point.after = "\r\n";
      point.label = "inside EXPUNGE's reply";
      break;
    case 5:
      point.armed_occurrence = 1;
      point.armed_by = " LOGOUT";
      point.label = "after LOGOUT";
      break;
    default:
      point.flow = random() % 2 == 0 ? Flow::ToClient : Flow::ToServer;
      point.offset = random() % (point.flow == Flow::ToClient ? 2 * kMaxItemBytes : 600);
      point.label = "any byte";
      break;
  }
  return point;
}

// One seeded sequence, over plain connections or over TLS (STARTTLS for SMTP,
// TLS from the first byte for POP3); the get jobs over POP3 or IMAP.
struct FaultRun {
  unsigned seed;
  bool tls;
  bool imap = false;
};

void PrintTo(const FaultRun& run, std::ostream* out) {
  *out << "seed " << run.seed << (run.tls ? " over TLS" : "") << (run.imap ? " IMAP" : "");
}

testing::SmtpServerOptions SmtpOptions(const FaultRun& run) {
  testing::SmtpServerOptions options;
  options.starttls = options.require_starttls = run.tls;
  return options;
}

// The Message-ID line of a stored message, as the send job writes it.
std::string MessageId(const std::string& raw) {
  const std::size_t at = raw.find("\nMessage-ID: ");
  return at == std::string::npos ? std::string() : raw.substr(at, raw.find('\n', at + 1) - at);
}

testing::Pop3ServerOptions Pop3Options(const FaultRun& run) {
  testing::Pop3ServerOptions options;
  options.implicit_tls = run.tls;
  return options;
}

class NetworkFaultsTest : public ::testing::TestWithParam<FaultRun> {
 protected:
  NetworkFaultsTest()
      : world_(GetParam().seed),
        smtp_(SmtpOptions(GetParam())),
        pop3_(Pop3Options(GetParam())),
        smtp_proxy_(smtp_.port()),
        pop3_proxy_(GetParam().imap ? pop3_.imap_port() : pop3_.port()),
        deliveries_(smtp_) {
    setenv("KESTREL_HOME", world_.Home().c_str(), 1);
    world_.WriteConfiguration(smtp_proxy_.port(), pop3_proxy_.port(), kNetTimeoutSeconds);
    if (GetParam().tls) {
      // Both servers' self-signed certificates, trusted through one file.
      const std::string trusted =
          world_.dir().Write("home/trusted.pem", ReadAll(smtp_.directory() + "/cert.pem") +
                                                     ReadAll(pop3_.directory() + "/cert.pem"));
      world_.AppendConfiguration("SMTPTLS STARTTLS\nPOPTLS IMPLICIT\nCAFILE " + trusted + "\n");
    }
    if (GetParam().imap) {
      world_.AppendConfiguration("IMAPSERVER 127.0.0.1\nIMAPPORT " +
                                 std::to_string(pop3_proxy_.port()) + "\nIMAPUSERNAME " +
                                 pop3_.user() + "\nIMAPPASSWORD " + pop3_.password() + "\n");
    }
    // The filter file is named after the program, here the test program.
    world_.dir().Write("home/" + platform::ProgramBaseName() + ".FLT", "@ALL\n");
  }
  ~NetworkFaultsTest() override { unsetenv("KESTREL_HOME"); }

  bool RunJob(core::Side side) { return RunCoreJob(world_.Home(), side, last_log_); }

  // Gives every message the SMTP server stored to the POP3 mailbox once.
  void HandOver() {
    deliveries_.Refresh();
    for (const Delivered& message : deliveries_.all()) {
      if (!handed_.insert(message.file).second) continue;
      pop3_.AddMessage(message.raw);
      in_mailbox_.push_back(&message - deliveries_.all().data());
    }
  }

  // Waits until the SMTP server has stored nothing new for a moment.
  void Settle() {
    std::size_t before = smtp_.MessageFiles().size();
    for (int i = 0; i < 20; ++i) {
      std::this_thread::sleep_for(150ms);
      const std::size_t now = smtp_.MessageFiles().size();
      if (now == before) break;
      before = now;
    }
  }

  void CheckOutbound(const std::string& when) {
    deliveries_.Refresh();
    for (const Item& item : world_.items()) {
      const std::string problem = world_.Check(item, deliveries_);
      EXPECT_TRUE(problem.empty()) << when << ": " << problem << "\n" << last_log_;
    }
    const auto leftovers = world_.Leftovers();
    EXPECT_TRUE(leftovers.empty()) << when << ": left behind: " << leftovers.front() << "\n"
                                   << last_log_;
  }

  // No partial file in the inbound, and nothing gone from the mailbox whose
  // saved text or attachments are not whole.
  void CheckReceived(const std::string& when) {
    for (const std::string& file : world_.InboundFiles()) {
      EXPECT_TRUE(deliveries_.IsAttachment(ReadAll(file)))
          << when << ": " << file << " is no attachment that was sent\n"
          << last_log_;
    }
    const std::vector<std::string> remaining = pop3_.RemainingMessages();
    const std::set<std::string> saved = world_.SavedTexts();
    std::vector<std::string> inbound;
    for (const std::string& file : world_.InboundFiles()) inbound.push_back(ReadAll(file));
    // The Message-IDs whose messages' texts were saved: a copy sent again
    // (its confirmation lost) leaves the mailbox unsaved as "already received".
    std::set<std::string> saved_ids;
    for (std::size_t index : in_mailbox_) {
      const Delivered& message = deliveries_.all()[index];
      if (saved.count(Normalised(message.raw)) == 1) saved_ids.insert(MessageId(message.raw));
    }
    for (std::size_t index : in_mailbox_) {
      const Delivered& message = deliveries_.all()[index];
      if (std::find(remaining.begin(), remaining.end(), message.raw) != remaining.end()) continue;
      EXPECT_TRUE(saved.count(Normalised(message.raw)) == 1 ||
                  saved_ids.count(MessageId(message.raw)) == 1)
          << when << ": " << message.file << " left the mailbox without its saved text\n"
          << last_log_;
      for (const auto& part : message.parts) {
        if (part.filename.empty()) continue;
        EXPECT_NE(std::find(inbound.begin(), inbound.end(), part.content), inbound.end())
            << when << ": " << message.file << " left the mailbox, " << part.filename
            << " is not in the inbound\n"
            << last_log_;
      }
    }
  }

  FidoWorld world_;
  testing::SmtpServer smtp_;
  testing::Pop3Server pop3_;
  testing::FaultProxy smtp_proxy_;
  testing::FaultProxy pop3_proxy_;
  Deliveries deliveries_;
  std::set<std::string> handed_;
  std::vector<std::size_t> in_mailbox_;  // indexes into deliveries_.all()
  std::string last_log_;
};

TEST_P(NetworkFaultsTest, NothingIsLostAndEverythingArrives) {
  ASSERT_TRUE(smtp_.running()) << smtp_.ServerLog();
  ASSERT_TRUE(pop3_.running()) << pop3_.ServerLog();
  ASSERT_TRUE(smtp_proxy_.running() && pop3_proxy_.running());
  std::mt19937& random = world_.random();
  world_.AddRandomItems(6);

  // Names the run in failure messages, so that a seed and round can be replayed.
  const auto when = [&](int round, const char* job, const FaultPoint& fault) {
    return "seed " + std::to_string(GetParam().seed) + (GetParam().tls ? " tls" : "") +
           (GetParam().imap ? " imap" : "") + " round " + std::to_string(round) + " " + job + ", " +
           testing::Describe(fault);
  };
  int faults_fired = 0;
  const int rounds = Rounds();
  for (int round = 1; round <= rounds; ++round) {
    world_.AddRandomItems(1 + static_cast<int>(random() % 3));

    const FaultPoint send_fault = SmtpFault(random, GetParam().tls);
    const std::string send_when = when(round, "send", send_fault);
    SCOPED_TRACE(send_when);
    smtp_proxy_.Arm(send_fault);
    ASSERT_TRUE(RunJob(core::Side::Sending));
    faults_fired += smtp_proxy_.Fired() ? 1 : 0;
    CheckOutbound(send_when);
    HandOver();

    const FaultPoint get_fault =
        GetParam().imap ? ImapFault(random) : Pop3Fault(random, GetParam().tls);
    const std::string get_when = when(round, "get", get_fault);
    SCOPED_TRACE(get_when);
    pop3_proxy_.Arm(get_fault);
    ASSERT_TRUE(RunJob(core::Side::Receiving));
    faults_fired += pop3_proxy_.Fired() ? 1 : 0;
    CheckReceived(get_when);
    if (HasFailure()) return;
  }

  // The clean round: everything goes, everything comes.
  smtp_proxy_.Disarm();
  pop3_proxy_.Disarm();
  ASSERT_TRUE(RunJob(core::Side::Sending));
  CheckOutbound("clean send");
  Settle();
  HandOver();
  ASSERT_TRUE(RunJob(core::Side::Receiving));
  CheckReceived("clean get");
  for (const Item& item : world_.items()) {
    EXPECT_FALSE(world_.Waiting(item)) << item.label << " still waits\n" << last_log_;
  }
  EXPECT_TRUE(pop3_.RemainingMessages().empty()) << last_log_;

  std::vector<std::string> inbound;
  for (const std::string& file : world_.InboundFiles()) inbound.push_back(ReadAll(file));
  int stored_duplicates = 0;
  int inbound_duplicates = 0;
  for (const Item& item : world_.items()) {
    stored_duplicates += std::max(0, deliveries_.Count(item) - 1);
    const auto copies = std::count_if(inbound.begin(), inbound.end(), [&](const std::string& f) {
      return item.kind == ItemKind::Netmail ? f.find(item.content) != std::string::npos
                                            : f == item.content;
    });
    EXPECT_GE(copies, 1) << item.label << " never arrived in the inbound";
    inbound_duplicates += std::max(0, static_cast<int>(copies) - 1);
  }
  EXPECT_EQ(inbound_duplicates, 0) << last_log_;
  std::cout << "[ faults ] seed " << GetParam().seed << (GetParam().tls ? " over TLS" : "")
            << (GetParam().imap ? " IMAP" : "") << ": " << world_.items().size() << " items, "
            << 2 * rounds << " faults armed, " << faults_fired << " fired, "
            << deliveries_.all().size() << " messages stored, " << stored_duplicates
            << " sent twice (lost confirmation), " << inbound_duplicates
            << " extra copies in the inbound\n";
}

// The confirmation of every message lost once: the files stay in the
// outbound, go again, and the receiver keeps one copy of each.
using LostConfirmationTest = NetworkFaultsTest;

TEST_P(LostConfirmationTest, FilesSentTwiceArriveOnce) {
  ASSERT_TRUE(smtp_.running() && pop3_.running() && smtp_proxy_.running());
  world_.AddListed(0);
  world_.AddPacket(1);
  world_.AddNetmail(0);
  FaultPoint lost;
  lost.action = FaultAction::Stall;
  lost.flow = Flow::ToClient;
  lost.armed_by = "\r\n.\r\n";
  lost.label = "after the final dot, before the reply";
  smtp_proxy_.Arm(lost);
  ASSERT_TRUE(RunJob(core::Side::Sending));
  ASSERT_TRUE(smtp_proxy_.Fired());
  smtp_proxy_.Disarm();
  ASSERT_TRUE(RunJob(core::Side::Sending));
  Settle();
  HandOver();
  deliveries_.Refresh();
  EXPECT_GT(deliveries_.Count(world_.items().front()), 1) << "the first file went only once";
  ASSERT_TRUE(RunJob(core::Side::Receiving));
  CheckReceived("after the resend");
  EXPECT_NE(last_log_.find("already received, deleting"), std::string::npos) << last_log_;
  for (const Item& item : world_.items()) {
    const auto inbound = world_.InboundFiles();
    const auto copies = std::count_if(inbound.begin(), inbound.end(), [&](const std::string& f) {
      const std::string content = ReadAll(f);
      return item.kind == ItemKind::Netmail ? content.find(item.content) != std::string::npos
                                            : content == item.content;
    });
    EXPECT_EQ(copies, 1) << item.label << "\n" << last_log_;
  }
  EXPECT_TRUE(pop3_.RemainingMessages().empty());
}

INSTANTIATE_TEST_SUITE_P(Plain, LostConfirmationTest, ::testing::Values(FaultRun{5, false}),
                         [](const auto&) { return std::string("plain"); });

INSTANTIATE_TEST_SUITE_P(Seeds, NetworkFaultsTest,
                         ::testing::Values(FaultRun{29, false}, FaultRun{47, false},
                                           FaultRun{61, true}, FaultRun{37, false, true}),
                         [](const auto& info) {
                           return "seed" + std::to_string(info.param.seed) +
                                  (info.param.tls ? "_tls" : "") + (info.param.imap ? "_imap" : "");
                         });

}  // namespace
}  // namespace kestrel::faults
