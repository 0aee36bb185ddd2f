// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The identity of a run's messages: their Date: and Message-ID:, derived
// from what they carry, and the record of the ones the server confirmed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/configuration.h"
#include "outbound/send_list.h"
#include "send/message_stamp.h"
#include "send/sent_record.h"

namespace kestrel::send {

class MessageIdentity {
 public:
  explicit MessageIdentity(const config::Configuration& configuration)
      : configuration_(configuration) {}

  // Reads the record of confirmed messages; the line for the log when it
  // cannot be read (it then counts as empty).
  [[nodiscard]] std::optional<std::string> Load();

  // The stamp of a message carrying `entry` to `recipients`; a netmail is
  // known by the stored message, whatever packet it is packed into.
  [[nodiscard]] MessageStamp StampFor(const outbound::SendEntry& entry,
                                      const std::vector<std::string>& recipients,
                                      std::string_view local_host) const;

  // Records the message as confirmed, its sync left to SyncConfirmed, which
  // the message's bookkeeping calls before it changes the mailer's files; the
  // line for the log when the record cannot be written.
  [[nodiscard]] std::optional<std::string> RecordConfirmed(
      const std::string& message_id, const std::string& node,
      const std::vector<std::string>& recipients, const std::string& path);
  [[nodiscard]] std::optional<std::string> SyncConfirmed();

  // Piece `number` of `total` of the set `message_id`, confirmed for
  // `recipients`: recorded as it goes, so that a set cut short goes on where
  // it stopped. The line for the log when the record cannot be written.
  [[nodiscard]] std::optional<std::string> RecordPiece(const std::string& message_id,
                                                       std::uint64_t number, std::uint64_t total,
                                                       const std::string& node,
                                                       const std::vector<std::string>& recipients,
                                                       const std::string& path);
  // True when that piece of the same cut of `path` went to the same recipients.
  [[nodiscard]] bool HasPiece(const std::string& message_id, std::uint64_t number,
                              std::uint64_t total, const std::vector<std::string>& recipients,
                              const std::string& path) const;

  // Records the entries of a confirmed message whose file stays queued
  // untidied (RecordResult::untidied), so that later runs do not mail it
  // again; the line for the log when the record cannot be written.
  [[nodiscard]] std::optional<std::string> RecordUntidied(const std::string& message_id,
                                                          const outbound::SendList& list,
                                                          const std::vector<int>& entries);

 private:
  [[nodiscard]] std::optional<std::string> Failure(bool written, const std::string& error) const;

  const config::Configuration& configuration_;
  SentRecord sent_;
};

}  // namespace kestrel::send
