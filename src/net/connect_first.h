// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Connects to the addresses of one server in turn, without waiting for each
// to fail: the next attempt starts when the last has not connected within a
// short delay (RFC 8305 in spirit), and the first to connect is kept. The
// whole race is one bounded wait (NETTIMEOUT, countdown, Stop).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/net_session.h"
#include "net/socket_address.h"
#include "platform/unique_fd.h"

namespace kestrel::net::internal {

// How long an attempt runs alone before the next address is tried too.
inline constexpr int kNextAttemptDelayMs = 250;

struct ConnectOutcome {
  platform::UniqueFd socket;  // the connected socket, or none
  std::size_t index = 0;      // which address it reached
  int error = 0;              // the last failure's errno when none connected
  bool timed_out = false;     // NETTIMEOUT passed (Aborted is set too)
};

// `first_socket` (may hold none) is an unconnected socket for addresses[0];
// like every socket opened here it is closed unless it is the winner.
// Each address of a name that fails is logged when there are several.
[[nodiscard]] ConnectOutcome ConnectFirst(NetSession& session,
                                          const std::vector<SocketAddress>& addresses,
                                          std::uint16_t port, platform::UniqueFd first_socket);

}  // namespace kestrel::net::internal
