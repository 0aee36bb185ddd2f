// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Waiting for new mail in IDLE (RFC 2177): the server announces a new
// message the moment it arrives. The wait sleeps in poll() and is renewed
// before servers drop an idle client (29 minutes, RFC 2177).

#include "receive/imap/imap_channel.h"
#include "receive/imap/imap_login.h"

namespace kestrel::receive {

// IDLE is ended and begun anew after this long.
inline constexpr int kIdleRenewSeconds = 25 * 60;

// Waits up to `seconds` for new mail. True when the server announced some;
// false when the wait ended otherwise (the server has no IDLE, the time
// passed, Stop, a lost connection).
[[nodiscard]] bool WaitForMail(ImapChannel& channel, const ImapCapabilities& capabilities,
                               int seconds);

}  // namespace kestrel::receive
