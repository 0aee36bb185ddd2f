// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Host name resolution that a wait can abandon: the look-up runs on a helper
// thread of its own and signals a descriptor when done. An abandoned look-up
// finishes in the background and its result is dropped.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/socket_address.h"

namespace kestrel::net {

// The addresses of both families for a host name; empty when none.
using ResolveFunction = std::function<std::vector<SocketAddress>(const std::string& name)>;

// Replaces the system resolver (getaddrinfo) for tests; empty restores it.
void SetResolverForTesting(ResolveFunction resolver);

class PendingResolution {
 public:
  // Starts resolving `name`; started() is false when no helper thread could run.
  explicit PendingResolution(const std::string& name);
  ~PendingResolution();
  PendingResolution(const PendingResolution&) = delete;
  PendingResolution& operator=(const PendingResolution&) = delete;

  [[nodiscard]] bool started() const { return state_ != nullptr; }
  // Becomes readable when the look-up has finished.
  [[nodiscard]] int Descriptor() const;
  [[nodiscard]] bool Done() const;
  // The addresses once Done(); empty when the name did not resolve.
  [[nodiscard]] std::vector<SocketAddress> Result() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace kestrel::net
