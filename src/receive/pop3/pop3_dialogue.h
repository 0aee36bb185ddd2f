// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The receiving side's POP3 dialogue: login, mailbox size, a walk over the
// waiting messages that takes those the filters accept (saved text, decoded
// attachments, DELE only once everything of the message is written), the
// message number file, QUIT and the arrival flag file. Each reply must show
// it answers its own command; once one does not, nothing more is deleted.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/configuration.h"
#include "net/net_session.h"
#include "receive/intake/sent_messages.h"

namespace kestrel::receive {

inline constexpr std::uint16_t kDefaultPop3Port = 110;

// POPSERVER, POPPORT and NETTIMEOUT as the connection layer takes them.
[[nodiscard]] net::Endpoint Pop3Endpoint(const config::Configuration& configuration);

// Runs on a connected receiving session (RunSession's dialogue). The outcome
// is in the log, the files written, and the session's outcome (RunSession's
// result: its shortfalls, or Aborted with the reason).
// `sent`, when given, names the file a bounce returns.
void RunPop3Dialogue(net::NetSession& session, const config::Configuration& configuration,
                     const SentMessages* sent = nullptr);

// The counts of a STAT reply ("+OK 2 3400"); both 0 when they are missing.
struct MailboxSize {
  std::int32_t messages = 0;
  std::uint64_t bytes = 0;
};
[[nodiscard]] MailboxSize ParseStatReply(std::string_view reply);

}  // namespace kestrel::receive
