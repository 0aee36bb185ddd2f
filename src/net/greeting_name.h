// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The name a client gives in EHLO or HELO (RFC 5321 4.1.1.1, 4.1.3): strict
// servers refuse a short host name, so it is the host's fully-qualified name,
// or else the address literal of our end of the connection.

#include <string>

#include "net/net_session.h"

namespace kestrel::net {

// `configured` when set (HELONAME); else the local host name when it holds a
// dot, or the canonical name the resolver gives it when that does; else
// "[192.0.2.1]" or "[IPv6:2001:db8::1]" of the connected socket; "localhost"
// when none of them is known.
[[nodiscard]] std::string GreetingName(const NetSession& session, const std::string& configured);

}  // namespace kestrel::net
