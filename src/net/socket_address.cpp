// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/socket_address.h"

#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace kestrel::net {

std::string SocketAddress::Text() const {
  std::array<char, NI_MAXHOST> text{};
  if (::getnameinfo(get(), length, text.data(), text.size(), nullptr, 0, NI_NUMERICHOST) != 0)
    return "?";
  return text.data();
}

void SocketAddress::SetPort(std::uint16_t port) {
  if (family() == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in*>(&storage)->sin_port = htons(port);
  }
}

bool SocketAddress::IsUnspecified() const {
  if (family() == AF_INET6) {
    return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr);
  }
  return reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr.s_addr == INADDR_ANY;
}

std::optional<SocketAddress> NumericAddress(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) {
    return std::nullopt;
  }
  SocketAddress address;
  address.length =
      static_cast<socklen_t>(std::min<std::size_t>(list->ai_addrlen, sizeof address.storage));
  std::memcpy(&address.storage, list->ai_addr, address.length);
  ::freeaddrinfo(list);
  return address;
}

std::vector<SocketAddress> ConnectionOrder(const std::vector<SocketAddress>& found) {
  std::vector<SocketAddress> six;
  std::vector<SocketAddress> four;
  for (const SocketAddress& address : found) {
    if (address.IsUnspecified()) continue;
    (address.family() == AF_INET6 ? six : four).push_back(address);
  }
  std::vector<SocketAddress> order;
  for (std::size_t i = 0; i < six.size() || i < four.size(); ++i) {
    if (i < six.size()) order.push_back(six[i]);
    if (i < four.size()) order.push_back(four[i]);
  }
  return order;
}

}  // namespace kestrel::net
