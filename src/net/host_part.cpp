// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/host_part.h"

namespace kestrel::net {

std::string HostPart(std::string_view configured) {
  if (!configured.empty() && configured.front() == '[') {
    const std::size_t close = configured.find(']');
    if (close == std::string_view::npos) return std::string(configured);
    return std::string(configured.substr(1, close - 1));
  }
  // Two colons or more: an IPv6 literal, which cannot carry a port unbracketed.
  const std::size_t colon = configured.find(':');
  if (colon != std::string_view::npos && configured.find(':', colon + 1) != std::string_view::npos)
    return std::string(configured);
  return std::string(configured.substr(0, colon));
}

}  // namespace kestrel::net
