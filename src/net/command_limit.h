// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// How long a command line may be, and the refusal of one that is longer: a
// cut command would say something else, so it is never sent.

#include <cstddef>
#include <string_view>

#include "net/net_session.h"

namespace kestrel::net {

// The command limit of the side's protocol (SMTP or POP3).
[[nodiscard]] std::size_t CommandLimit(const NetSession& session);

// True when `text` fits `limit`; otherwise logs the refusal (without the
// text, which may hold a secret) and aborts the session.
[[nodiscard]] bool FitsCommandLine(NetSession& session, std::string_view text, std::size_t limit);

}  // namespace kestrel::net
