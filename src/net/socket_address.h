// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A server address of either family, as the socket calls want it, and the
// order in which the addresses of one name are tried.

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::net {

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  [[nodiscard]] int family() const { return storage.ss_family; }
  [[nodiscard]] const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
  // The numeric address without port or brackets ("192.0.2.7", "::1").
  [[nodiscard]] std::string Text() const;
  void SetPort(std::uint16_t port);
  // 0.0.0.0 or ::, which name no server.
  [[nodiscard]] bool IsUnspecified() const;
};

// The address written in `host` ("192.0.2.7", "::1", "fe80::1%eth0");
// nullopt when `host` is a name.
[[nodiscard]] std::optional<SocketAddress> NumericAddress(const std::string& host);

// IPv6 first, then the families in turn (RFC 8305 4), each family in the
// resolver's order; addresses that name no server are dropped.
[[nodiscard]] std::vector<SocketAddress> ConnectionOrder(const std::vector<SocketAddress>& found);

}  // namespace kestrel::net
