// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/message_identity.h"

#include <ctime>

namespace kestrel::send {

using outbound::SendKind;

std::optional<std::string> MessageIdentity::Load() {
  std::string error;
  if (sent_.Load(std::time(nullptr), error)) return std::nullopt;
  return "-- Could not read " + sent_.path() + " (" + error + ")";
}

MessageStamp MessageIdentity::StampFor(const outbound::SendEntry& entry,
                                       const std::vector<std::string>& recipients,
                                       std::string_view local_host) const {
  const bool netmail = entry.Kind == SendKind::NetmailText || entry.Kind == SendKind::NetmailPacket;
  return {MailDate(std::time(nullptr)),
          QueuedMessageId(configuration_.FROMEMAIL, recipients,
                          netmail ? StoredMessageFields(entry.Path) : FileFields(entry.Path),
                          MessageIdDomain(configuration_.FROMEMAIL, local_host), sent_)};
}

std::optional<std::string> MessageIdentity::RecordConfirmed(
    const std::string& message_id, const std::string& node,
    const std::vector<std::string>& recipients, const std::string& path) {
  std::string addresses;
  for (const std::string& recipient : recipients) {
    addresses += (addresses.empty() ? "" : ",") + recipient;
  }
  std::string error;
  if (sent_.Record({0, message_id, node, addresses, path}, std::time(nullptr), error)) {
    return std::nullopt;
  }
  return "-- Could not write " + sent_.path() + " (" + error + ")";
}

}  // namespace kestrel::send
