// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The long quiet wait of a connection that waits for the server to speak
// first (IMAP IDLE): no NETTIMEOUT, as a mailbox may stay silent for many
// minutes; it sleeps in poll() and wakes once a second to see a Stop.

#include "net/net_session.h"

namespace kestrel::net {

enum class InputWait {
  Ready,    // the server sent something (or bytes wait in the buffers)
  TimeUp,   // `milliseconds` passed in silence
  Stopped,  // Stop was asked for, or the session was aborted
};

[[nodiscard]] InputWait WaitForServer(NetSession& session, int milliseconds);

}  // namespace kestrel::net
