// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Command lines that carry a credential: sent as they are, logged only as
// `shown`, so that no password, AUTH string or token reaches a pane or a log.

#include <cstddef>
#include <string_view>

#include "net/net_session.h"

namespace kestrel::net {

// `limit` as for SendLine; a longer line is refused, its text never logged.
void SendSecretLine(NetSession& session, std::string_view line, std::string_view shown,
                    std::size_t limit);

}  // namespace kestrel::net
