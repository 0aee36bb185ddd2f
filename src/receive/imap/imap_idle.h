// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Waiting for new mail in IDLE (RFC 2177): the server announces a new
// message the moment it arrives. The wait sleeps in poll() and is renewed
// before servers drop an idle client (29 minutes, RFC 2177).

#include "net/step_result.h"
#include "receive/imap/imap_channel.h"
#include "receive/imap/imap_login.h"

namespace kestrel::receive {

// IDLE is ended and begun anew after this long.
inline constexpr int kIdleRenewSeconds = 25 * 60;

// What a wait for mail came to: whether the server announced some, and
// failed, with the reason, when the session was aborted meanwhile.
struct [[nodiscard]] MailWait {
  bool news = false;
  net::StepResult step = net::StepResult::Ok();
};

// Waits up to `seconds` for new mail. No news when the wait ended otherwise
// (the server has no IDLE or refused it, the time passed, Stop, a lost
// connection).
[[nodiscard]] MailWait WaitForMail(ImapChannel& channel, const ImapCapabilities& capabilities,
                                   int seconds);

}  // namespace kestrel::receive
