// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// POP3 replies (RFC 1939): one status line, "+OK ..." or "-ERR ..."; lists
// (CAPA, TOP, RETR's head) end with a line holding one ".".

#include "net/reply.h"

namespace kestrel::receive {

[[nodiscard]] net::Reply ReadPop3Reply(net::NetSession& session,
                                       net::Echo echo = net::Echo::Logged);

// True when the reply arrived and says "+OK".
[[nodiscard]] bool IsOk(const net::Reply& reply);

}  // namespace kestrel::receive
