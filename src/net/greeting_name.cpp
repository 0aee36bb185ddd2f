// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/greeting_name.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>

#include "net/connection_state_internal.h"
#include "net/socket_address.h"

namespace kestrel::net {

using internal::StateOf;

namespace {

bool Qualified(const std::string& name) {
  return name.find('.') != std::string::npos && name.back() != '.';
}

std::string CanonicalName(const std::string& host) {
  if (host.empty()) return {};
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return {};
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, ::freeaddrinfo);
  return found->ai_canonname ? std::string(found->ai_canonname).substr(0, kMaxLocalHost)
                             : std::string();
}

std::string AddressLiteral(int socket) {
  if (socket < 0) return {};
  SocketAddress local;
  local.length = sizeof local.storage;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local.storage), &local.length) != 0)
    return {};
  if (local.family() == AF_INET) return "[" + local.Text() + "]";
  if (local.family() == AF_INET6) return "[IPv6:" + local.Text() + "]";
  return {};
}

}  // namespace

std::string GreetingName(const NetSession& session, const std::string& configured) {
  if (!configured.empty()) return configured;
  if (Qualified(session.local_host())) return session.local_host();
  const std::string canonical = CanonicalName(session.local_host());
  if (Qualified(canonical)) return canonical;
  const std::string literal = AddressLiteral(StateOf(session).socket.get());
  return literal.empty() ? std::string("localhost") : literal;
}

}  // namespace kestrel::net
