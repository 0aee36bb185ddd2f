// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Slips TLS under a live connection: right after connecting (implicit TLS) or
// after the server agreed to STARTTLS/STLS. A failed handshake or a
// certificate that does not verify is a log line and an abort; the session
// never goes on in plain text once TLS was asked for.

#include <string>

#include "net/net_session.h"

namespace kestrel::net {

// True when the session now runs over TLS. `ca_file` (may be empty) is
// trusted besides the system's store. Nothing may be queued or buffered from
// the plain connection: queued output is an error, not something to encrypt.
[[nodiscard]] bool StartTls(NetSession& session, const std::string& ca_file);

}  // namespace kestrel::net
