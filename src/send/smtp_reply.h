// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// SMTP replies (RFC 5321 4.2): lines "NNN-text" go on, "NNN text" or a bare
// "NNN" ends the reply. Every line is logged; one that is neither a
// continuation nor positive is marked "<- Error! (...)" before it.

#include "net/reply.h"

namespace kestrel::send {

[[nodiscard]] net::Reply ReadSmtpReply(net::NetSession& session);

// True when the reply arrived and its code is `code`.
[[nodiscard]] inline bool HasCode(const net::Reply& reply, int code) {
  return reply.ok() && reply.code == code;
}

}  // namespace kestrel::send
