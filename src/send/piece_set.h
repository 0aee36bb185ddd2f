// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// How large a message may be, and a laid-out message too large for that as
// a set of "message/partial" pieces (RFC 2046 5.2.2), each under the limit
// with its own head.

#include <cstdint>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "send/message_pieces.h"
#include "send/message_stamp.h"
#include "send/smtp_login.h"

namespace kestrel::send {

// The smaller of the server's SIZE and MAXMESSAGESIZE; 0: none known.
[[nodiscard]] std::uint64_t MessageLimit(const SizeOffer& offer,
                                         const config::Configuration& configuration);

// The size a message is kept below under `limit`: servers add their own head
// lines (Received:, and Postfix its envelope) to what they count.
[[nodiscard]] std::uint64_t MessageTarget(std::uint64_t limit);

class PartialSet {
 public:
  // The pieces of the message stamped `stamp` with subject `subject`.
  PartialSet(const config::RedirectEntry& redirect, const config::Configuration& configuration,
             const MessageStamp& stamp, std::string subject);

  // The head lines of piece `number` of `total`.
  [[nodiscard]] LineCollector Head(std::uint64_t number, std::uint64_t total) const;

  // The message's lines cut so that every piece, head included, stays within
  // `target` bytes; empty when that cannot be done.
  [[nodiscard]] std::vector<LineRange> Cut(const LaidOutMessage& laid, std::uint64_t target) const;

 private:
  const config::RedirectEntry& redirect_;
  const config::Configuration& configuration_;
  MessageStamp stamp_;
  std::string subject_;
  std::string set_id_;
};

}  // namespace kestrel::send
