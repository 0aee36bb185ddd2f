// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/resolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace kestrel::net {

struct PendingResolution::State {
  std::mutex mutex;
  bool done = false;
  std::optional<std::uint32_t> result;
  int event = -1;
  ~State() {
    if (event >= 0) ::close(event);
  }
};

namespace {

std::mutex resolver_mutex;
ResolveFunction test_resolver;

std::optional<std::uint32_t> SystemResolve(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;  // the connection is IPv4, as its log lines are
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) {
    return std::nullopt;
  }
  std::optional<std::uint32_t> address;
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in in{};
      std::memcpy(&in, entry->ai_addr, sizeof in);
      address = in.sin_addr.s_addr;
      break;
    }
  }
  ::freeaddrinfo(list);
  return address;
}

ResolveFunction CurrentResolver() {
  std::lock_guard guard(resolver_mutex);
  if (test_resolver) return test_resolver;
  return SystemResolve;
}

}  // namespace

void SetResolverForTesting(ResolveFunction resolver) {
  std::lock_guard guard(resolver_mutex);
  test_resolver = std::move(resolver);
}

PendingResolution::PendingResolution(const std::string& name) {
  auto state = std::make_shared<State>();
  state->event = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (state->event < 0) return;
  try {
    // The thread owns a share of the state, so an abandoned look-up that
    // finishes later still writes into live memory; nobody joins it.
    std::thread([state, name, resolve = CurrentResolver()] {
      auto result = resolve(name);
      std::lock_guard guard(state->mutex);
      state->result = result;
      state->done = true;
      const std::uint64_t one = 1;
      (void)!::write(state->event, &one, sizeof one);
    }).detach();
  } catch (const std::system_error&) {
    return;  // no thread: started() stays false
  }
  state_ = std::move(state);
}

PendingResolution::~PendingResolution() = default;

int PendingResolution::Descriptor() const {
  return state_ ? state_->event : -1;
}

bool PendingResolution::Done() const {
  if (!state_) return false;
  std::lock_guard guard(state_->mutex);
  return state_->done;
}

std::optional<std::uint32_t> PendingResolution::Result() const {
  if (!state_) return std::nullopt;
  std::lock_guard guard(state_->mutex);
  return state_->result;
}

}  // namespace kestrel::net
