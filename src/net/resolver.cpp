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

#include "platform/unique_fd.h"

namespace kestrel::net {

struct PendingResolution::State {
  std::mutex mutex;
  bool done = false;
  Resolution result;
  platform::UniqueFd event;
};

namespace {

std::mutex resolver_mutex;
ResolveFunction test_resolver;

Resolution SystemResolve(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;  // both families; the connection tries them in turn
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  std::vector<SocketAddress> found;
  const int error = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (error == EAI_NONAME) return {found, ResolveFailure::NoSuchName};
  if (error == EAI_AGAIN) return {found, ResolveFailure::NotNow};
  if (error != 0 || list == nullptr) return {found, ResolveFailure::NoAddress};
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if ((entry->ai_family != AF_INET && entry->ai_family != AF_INET6) ||
        entry->ai_addrlen > sizeof(sockaddr_storage))
      continue;
    SocketAddress address;
    address.length = entry->ai_addrlen;
    std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
    found.push_back(address);
  }
  ::freeaddrinfo(list);
  return found;
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
  state->event.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!state->event) return;
  try {
    // The thread owns a share of the state, so an abandoned look-up that
    // finishes later still writes into live memory; nobody joins it.
    std::thread([state, name, resolve = CurrentResolver()] {
      auto result = resolve(name);
      std::lock_guard guard(state->mutex);
      state->result = std::move(result);
      state->done = true;
      const std::uint64_t one = 1;
      (void)!::write(state->event.get(), &one, sizeof one);
    }).detach();
  } catch (const std::system_error&) {
    return;  // no thread: started() stays false
  }
  state_ = std::move(state);
}

PendingResolution::~PendingResolution() = default;

int PendingResolution::Descriptor() const {
  return state_ ? state_->event.get() : -1;
}

bool PendingResolution::Done() const {
  if (!state_) return false;
  std::lock_guard guard(state_->mutex);
  return state_->done;
}

Resolution PendingResolution::Result() const {
  if (!state_) return {};
  std::lock_guard guard(state_->mutex);
  return state_->result;
}

}  // namespace kestrel::net
