// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The receiving side's IMAP dialogue: login, the folder, a walk over its
// messages that takes those the filters accept (saved text, decoded
// attachments; removal or the move to IMAPDONEFOLDER only once everything
// of the message is written), and LOGOUT. Messages not taken stay unseen.

#include <cstdint>

#include "config/configuration.h"
#include "net/net_session.h"
#include "receive/intake/sent_messages.h"

namespace kestrel::receive {

inline constexpr std::uint16_t kDefaultImapPort = 143;
inline constexpr std::uint16_t kDefaultImapsPort = 993;

// IMAPSERVER, IMAPPORT (by IMAPTLS) and NETTIMEOUT as the connection layer
// takes them.
[[nodiscard]] net::Endpoint ImapEndpoint(const config::Configuration& configuration);

// How long the dialogue may wait in IDLE for new mail after a walk (and
// walk again when some came); 0: not at all, the dialogue ends after one walk.
struct ImapWaiting {
  int idle_seconds = 0;
  bool idled = false;  // set when the dialogue got as far as waiting
};

// Runs on a connected receiving session (RunSession's dialogue). The outcome
// is in the log, the files written, and the session's outcome (RunSession's
// result: its shortfalls, or Aborted with the reason).
void RunImapDialogue(net::NetSession& session, const config::Configuration& configuration);
// `sent`, when given, names the file a bounce returns.
void RunImapDialogue(net::NetSession& session, const config::Configuration& configuration,
                     ImapWaiting& waiting, const SentMessages* sent = nullptr);

}  // namespace kestrel::receive
