// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// What the netmail scan learns from the start of a stored message's text:
// the FLAGS, TOPT and INTL kludges and whether any text follows the kludges.

#include <string>
#include <string_view>

#include "outbound/send_list.h"

namespace kestrel::outbound {

// Kludges are looked for only this far into the text; it bounds the read.
inline constexpr std::size_t kMaxNetmailTextScan = 10000;

struct NetmailTextFacts {
  AfterSendAction attached_files = AfterSendAction::Nothing;  // FLAGS KFS / TFS
  std::string point;                                          // TOPT value, empty when none
  std::string zone;  // INTL destination zone, empty when none
  bool has_text = false;
};

// `text`: the bytes after the 190-byte header, at most kMaxNetmailTextScan.
// Five bytes or fewer say nothing. The text ends at its first NUL.
[[nodiscard]] NetmailTextFacts InspectNetmailText(std::string_view text);

}  // namespace kestrel::outbound
