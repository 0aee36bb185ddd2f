// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Host name resolution that a wait can abandon: the look-up runs on a helper
// thread of its own and signals a descriptor when done. An abandoned look-up
// finishes in the background and its result is dropped.

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/socket_address.h"

namespace kestrel::net {

// Why a look-up found no address: the name does not exist (the set-up is
// wrong), the resolver cannot answer now (try again later), or another reason.
enum class ResolveFailure { None, NoSuchName, NotNow, NoAddress };

// What a look-up found: the addresses of both families, or why there are none.
struct Resolution {
  Resolution() = default;
  // Addresses as found; none is a NoAddress failure.
  Resolution(std::vector<SocketAddress> found)  // implicit: a list of addresses is one
      : addresses(std::move(found)),
        failure(addresses.empty() ? ResolveFailure::NoAddress : ResolveFailure::None) {}
  Resolution(std::vector<SocketAddress> found, ResolveFailure why)
      : addresses(std::move(found)), failure(why) {}

  std::vector<SocketAddress> addresses;
  ResolveFailure failure = ResolveFailure::NoAddress;
};

using ResolveFunction = std::function<Resolution(const std::string& name)>;

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
  // The addresses once Done(), or why there are none.
  [[nodiscard]] Resolution Result() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace kestrel::net
