// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The rule of taking mail, whatever protocol brings it: each head through
// the filters; a message the journal may know is compared first, once what
// was taken before it is on the disk, and a proven copy only removed; the
// others are fetched into the intake and held whole in a batch, which goes
// to the disk before its messages leave the server. Nothing leaves the
// server unless it was saved.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "config/configuration.h"
#include "net/net_session.h"
#include "net/step_result.h"
#include "receive/walk/mailbox.h"
#include "receive/walk/message_intake.h"

namespace kestrel::receive {

class MailboxWalk final : public MailboxReader {
 public:
  MailboxWalk(net::NetSession& session, const config::Configuration& configuration,
              MessageIntake& intake, Mailbox& mailbox);

  // Every window of heads and its messages; then the batch goes to the disk
  // and its messages leave the server. Failed when the session was aborted.
  [[nodiscard]] net::StepResult Run();

  [[nodiscard]] bool Offer(MailboxMessage message, const HeaderLines& head) override;
  WalkStep Settle() override;
  DataFate Received(const MailboxMessage& message, const MessageOutcome& outcome) override;

 private:
  // The messages taken from the window's heads, up to `end`, in order.
  WalkStep TakeAccepted(std::size_t end);
  // A message the journal may know: `copy` when it proved one, and removed.
  WalkStep Compare(const MailboxMessage& message, bool& copy);
  // The messages from `at` on that may be fetched together: up to `end`,
  // ending before one the journal may know or one with the unique id or
  // Message-ID of one before it, which is compared alone once those before
  // it are on the disk.
  [[nodiscard]] std::span<const MailboxMessage> RunFrom(std::size_t at, std::size_t end) const;
  WalkStep TakeWindow(std::span<const MailboxMessage> window);
  // The batch to the disk, then its messages off the server.
  WalkStep FlushAndRemove();
  void Log(const std::string& text);

  net::NetSession& session_;
  const config::Configuration& configuration_;
  MessageIntake& intake_;
  Mailbox& mailbox_;
  std::vector<MailboxMessage> accepted_;  // of the window of heads
  std::size_t taken_ = 0;                 // of accepted_, those dealt with
  bool compared_ = false;                 // accepted_[taken_] was compared, and is no copy
  std::vector<MailboxMessage> fetched_;   // held from the window being fetched
  std::vector<MailboxMessage> held_;      // in the batch, to leave the server once it is flushed
  BatchLoad load_;
  std::uint64_t skipped_ = 0;  // messages the filters left on the server
};

}  // namespace kestrel::receive
