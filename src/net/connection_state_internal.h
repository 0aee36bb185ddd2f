// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// What a session holds of its connection: the set-up's facts, the socket and
// its transport, the buffers and the waits' display. Only the code of this
// folder reaches it; the dialogues go through the session's functions.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/net_session.h"
#include "net/socket_address.h"
#include "net/transport.h"
#include "platform/unique_fd.h"

namespace kestrel::net::internal {

struct ConnectionState {
  std::string local_host;    // at most kMaxLocalHost characters, or empty
  std::string service_name;  // "smtp" or "pop3"
  std::string server_host;   // as configured, at most kMaxServerHost characters
  std::uint16_t default_port = 0;
  // The server's addresses in the order they are tried; empty until resolved.
  std::vector<SocketAddress> server_addresses;
  std::string connected_address;  // the address that answered, once connected
  platform::UniqueFd socket;
  std::uint16_t port = 0;  // host byte order
  std::uint16_t last_shown_second = 0;
  int last_error = 0;  // errno of the last failed socket step (0: none)

  std::uint16_t net_timeout = 0;      // NETTIMEOUT in seconds
  std::string configured_host;        // HOST or POPSERVER
  std::uint16_t configured_port = 0;  // SMTPPORT or POPPORT; 0: service look-up

  std::unique_ptr<Transport> transport;  // the connected channel, once connected
  std::string output;                    // queued message data, not yet sent
  std::string input;                     // received, not yet taken by a reader
  std::size_t input_position = 0;        // where the untaken bytes of `input` start
  bool countdown_shown = false;          // the countdown field holds a number
  bool indicator_shown = false;          // the waiting indicator is checked
  platform::UniqueFd wake_event;         // eventfd that Abort() signals

  // Drops the transport, then closes the socket under it.
  void Disconnect() {
    transport.reset();
    socket.Reset();
  }
};

}  // namespace kestrel::net::internal
