// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A POP3 mailbox as the walk sees it: heads by LIST n and TOP n 1, data by
// LIST n and RETR n, removal by DELE, in windows of pipelined commands when
// the server takes them. Each reply must show it answers its own command;
// once one does not, nothing more is fetched or deleted.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "core/front_end.h"
#include "net/net_session.h"
#include "net/reply.h"
#include "receive/intake/header_filter.h"
#include "receive/walk/mailbox.h"
#include "receive/walk/message_intake.h"

namespace kestrel::receive {

// What STAT, UIDL and the capabilities told of the mailbox.
struct Pop3Listing {
  std::int32_t count = 0;                          // messages to look at
  std::int32_t announced = 0;                      // as STAT counted them
  std::uint64_t bytes = 0;                         // as STAT counted them
  std::map<std::int32_t, std::string> unique_ids;  // by message number
  bool pipelining = false;                         // the server takes commands ahead of its replies
};

class Pop3Mailbox final : public Mailbox {
 public:
  Pop3Mailbox(net::NetSession& session, MessageIntake& intake, Pop3Listing listing);

  Heads NextHeads(MailboxReader& reader) override;
  [[nodiscard]] bool Stopped() override;
  [[nodiscard]] std::size_t TakeCount(std::span<const MailboxMessage> run, bool compared,
                                      const BatchLoad& load) const override;
  [[nodiscard]] bool BatchDue(const BatchLoad& load) const override;
  Taking Take(std::span<const MailboxMessage> window, MailboxReader& reader) override;
  [[nodiscard]] std::optional<std::string> Fingerprint(const MailboxMessage& message,
                                                       WalkStep& step) override;
  [[nodiscard]] std::string Removing() override { return "deleting"; }
  WalkStep Remove(std::span<const MailboxMessage> messages) override;

 private:
  // How the head of a message came out.
  enum class Head { Read, Refused, TooLong, Lost, OutOfStep };

  [[nodiscard]] std::string UniqueId(std::int32_t number) const;
  [[nodiscard]] bool SendPair(const std::string& first, const std::string& second);
  [[nodiscard]] bool ListMessage(std::int32_t number, bool top_sent);
  [[nodiscard]] bool Listed(std::int32_t number, const net::Reply& reply);
  void OutOfStep(std::int32_t number, const std::string& what);
  [[nodiscard]] bool ReadHeads(std::int32_t first, std::int32_t last, MailboxReader& reader);
  [[nodiscard]] Head ReadHead(std::int32_t number);
  [[nodiscard]] Head ReadHeader(std::int32_t number, bool sent);
  void DrainHeads(std::int32_t first, std::int32_t last);
  WalkStep TakeAlone(const MailboxMessage& message, MailboxReader& reader);
  WalkStep TakeTogether(std::span<const MailboxMessage> window, MailboxReader& reader);
  WalkStep ReadRetr(const MailboxMessage& message, bool retr_sent, MailboxReader& reader);
  WalkStep HoldOrLeave(const MailboxMessage& message, const MessageOutcome& outcome,
                       MailboxReader& reader);
  void DrainRetrs(std::span<const MailboxMessage> rest);
  void ShowMessage(std::int32_t number);
  void Delete(std::int32_t number);
  void JudgeDelete(std::int32_t number);

  net::NetSession& session_;
  core::FrontEnd& front_end_;
  MessageIntake& intake_;
  const Pop3Listing listing_;
  std::int32_t next_ = 1;           // the first message of the next window of heads
  HeaderLines header_;              // of the head last read
  net::ReadBounds message_bounds_;  // of the message being read
  std::uint64_t listed_size_ = 0;   // of the message being read, as LIST gave it
  bool out_of_step_ = false;        // a reply did not answer its command: no more DELE
  bool heads_read_ = false;         // the server has given a head this run
};

}  // namespace kestrel::receive
