#pragma once
// Command lines that carry a credential: sent as they are, logged only as
// `shown`, so that no password, AUTH string or token reaches a pane or a log.

#include <string>
#include <string_view>
#include <vector>

#include "net/net_session.h"

namespace kestrel::net {

void SendSecretLine(NetSession& session, std::string_view line, std::string_view shown);

// Reads one reply of several lines, logs each, and gives back all of them.
[[nodiscard]] std::vector<std::string> ReadReplyLines(NetSession& session);

}  // namespace kestrel::net
