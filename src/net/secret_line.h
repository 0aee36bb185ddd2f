// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Command lines that carry a credential: sent as they are, logged only as
// `shown`, so that no password, AUTH string or token reaches a pane or a log.

#include <string_view>

#include "net/net_session.h"

namespace kestrel::net {

void SendSecretLine(NetSession& session, std::string_view line, std::string_view shown);

}  // namespace kestrel::net
