// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A bounce matched with the record of what went out: which file's delivery
// failed, and to whom.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mime/delivery_report.h"

namespace kestrel::receive {

// What the sending side recorded of a message it sent: the file a bounce
// about it concerns.
struct SentMessage {
  std::string file;
  std::string node;     // FidoNet address
  std::string address;  // e-mail address(es)
};

// The record of sent messages as the receiving side asks it.
class SentMessages {
 public:
  virtual ~SentMessages() = default;
  // The message sent under `message_id`, as a bounce quotes it.
  [[nodiscard]] virtual std::optional<SentMessage> Find(std::string_view message_id) const = 0;
};

// The record's key for a returned Message-ID: a piece of a split message
// ("<id.3@domain>") counts as the whole one ("<id@domain>"); nothing when the
// quoted id is not one this program makes.
[[nodiscard]] std::optional<std::string> WholeMessageId(std::string_view message_id);

// "-- delivery of FILE to NODE (ADDRESS) failed: REASON", one line per
// recipient the report says failed.
[[nodiscard]] std::vector<std::string> FailedDeliveryLines(const mime::DeliveryReport& report,
                                                           const SentMessage& sent);

}  // namespace kestrel::receive
