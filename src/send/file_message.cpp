// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/file_message.h"

#include <algorithm>

namespace kestrel::send {

const std::string& FileOf(const outbound::SendList& list, const FileMessage& message, int entry) {
  if (entry == message.current && !message.packet_path.empty()) return message.packet_path;
  return list.Entry(entry).Path;
}

std::vector<int> EntriesOfFile(const outbound::SendList& list, const FileMessage& message) {
  // A packed netmail's packet is the current entry's alone.
  if (!message.packet_path.empty()) return {message.current};
  std::vector<int> entries;
  for (const int i : list.EntriesWithPath(list.Entry(message.current).Path)) {
    if (i == message.current || list.Entry(i).State == outbound::SendState::Pending) {
      entries.push_back(i);
    }
  }
  return entries;
}

const config::RedirectEntry& RedirectOf(const config::Configuration& configuration,
                                        const outbound::SendEntry& entry) {
  static const config::RedirectEntry kNone{};
  const auto& table = configuration.Redirects;
  if (entry.RedirectIndex < 1 || entry.RedirectIndex > table.RedirectCount()) return kNone;
  return table.Entry(entry.RedirectIndex);
}

std::vector<std::string> PlannedRecipients(const outbound::SendList& list,
                                           const FileMessage& message,
                                           const config::Configuration& configuration) {
  std::vector<std::string> recipients;
  for (const int i : EntriesOfFile(list, message)) {
    const std::string& address = RedirectOf(configuration, list.Entry(i)).EmailAddress;
    if (std::find(recipients.begin(), recipients.end(), address) == recipients.end()) {
      recipients.push_back(address);
    }
  }
  return recipients;
}

}  // namespace kestrel::send
