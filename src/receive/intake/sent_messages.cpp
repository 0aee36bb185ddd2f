// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/intake/sent_messages.h"

namespace kestrel::receive {

std::optional<std::string> WholeMessageId(std::string_view message_id) {
  const auto open = message_id.find('<');
  const auto at = message_id.rfind('@');
  const auto close = message_id.rfind('>');
  if (open == std::string_view::npos || at == std::string_view::npos ||
      close == std::string_view::npos || !(open < at && at < close)) {
    return std::nullopt;
  }
  std::string_view local = message_id.substr(open + 1, at - open - 1);
  // A piece's own id: the whole message's id and ".NUMBER".
  const auto dot = local.rfind('.');
  if (dot != std::string_view::npos && dot + 1 < local.size() &&
      local.find_first_not_of("0123456789", dot + 1) == std::string_view::npos) {
    local = local.substr(0, dot);
  }
  return "<" + std::string(local) + std::string(message_id.substr(at, close - at + 1));
}

std::vector<std::string> FailedDeliveryLines(const mime::DeliveryReport& report,
                                             const SentMessage& sent) {
  std::vector<std::string> lines;
  for (const auto& r : report.recipients) {
    if (!r.action.empty() && r.action != "failed") continue;
    std::string reason = r.status;
    if (!r.diagnostic.empty()) reason += (reason.empty() ? "" : " ") + r.diagnostic;
    lines.push_back("-- delivery of " + sent.file + " to " + sent.node + " (" +
                    (r.recipient.empty() ? sent.address : r.recipient) +
                    ") failed: " + (reason.empty() ? std::string("no reason given") : reason));
  }
  return lines;
}

}  // namespace kestrel::receive
