// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The host named by a configured server: "name", "name:port", "192.0.2.7",
// an IPv6 literal on its own ("::1") or in brackets ("[::1]", "[::1]:2525").
// What follows the host is a port, which the port keys decide instead.

#include <string>
#include <string_view>

namespace kestrel::net {

// The host alone: a name or an address literal without brackets. "[" without
// its "]" is returned whole, so that it fails as a name would.
[[nodiscard]] std::string HostPart(std::string_view configured);

}  // namespace kestrel::net
