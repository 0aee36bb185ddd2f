// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/delay_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <string>
#include <utility>

#include "support/mail_servers.h"

namespace kestrel::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Polls wake at least this often, so that the proxy stops promptly.
constexpr int kSliceMs = 20;
// Bytes read at once.
constexpr std::size_t kReadBytes = 64 * 1024;

int ConnectTo(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  const int on = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t sent = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

}  // namespace

DelayProxy::DelayProxy(std::uint16_t target_port, std::chrono::milliseconds delay)
    : target_port_(target_port), delay_(delay) {
  listener_ = ListenOnLoopback(16, port_);
  if (listener_ < 0) return;
  acceptor_ = std::thread([this] { Accept(); });
}

DelayProxy::~DelayProxy() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& forwarder : forwarders_) forwarder.join();
  for (const int fd : sockets_) ::close(fd);
  if (listener_ >= 0) ::close(listener_);
}

void DelayProxy::Accept() {
  while (!stop_) {
    pollfd entry{listener_, POLLIN, 0};
    if (::poll(&entry, 1, kSliceMs) <= 0) continue;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    const int on = 1;
    (void)::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const int server = ConnectTo(target_port_);
    if (server < 0) {
      ::close(client);
      continue;
    }
    const std::lock_guard guard(mutex_);
    sockets_.insert(sockets_.end(), {client, server});
    forwarders_.emplace_back([this, client, server] { Forward(client, server); });
    forwarders_.emplace_back([this, client, server] { Forward(server, client); });
  }
}

// Bytes read from `from` go to `to` `delay_` after they arrived; the end of
// `from` goes on after its last bytes.
void DelayProxy::Forward(int from, int to) {
  std::deque<std::pair<Clock::time_point, std::string>> held;
  std::string buffer(kReadBytes, '\0');
  bool reading = true;
  while (!stop_ && (reading || !held.empty())) {
    const auto now = Clock::now();
    while (!held.empty() && held.front().first <= now) {
      if (!SendAll(to, held.front().second)) return;
      held.pop_front();
    }
    // Waits end when the first held bytes are due, to the microsecond: a
    // poll rounded to milliseconds would lengthen every trip.
    auto wait =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::milliseconds(kSliceMs));
    if (!held.empty()) wait = std::min(wait, std::max(held.front().first - now, Clock::duration{}));
    if (!reading) {
      std::this_thread::sleep_for(wait);
      continue;
    }
    const timespec timeout{0, static_cast<long>(wait.count())};
    pollfd entry{from, POLLIN, 0};
    if (::ppoll(&entry, 1, &timeout, nullptr) <= 0) continue;
    const ssize_t got = ::recv(from, buffer.data(), buffer.size(), 0);
    if (got <= 0) {
      reading = false;
      continue;
    }
    held.emplace_back(Clock::now() + delay_, buffer.substr(0, static_cast<std::size_t>(got)));
  }
  (void)::shutdown(to, SHUT_WR);
}

}  // namespace kestrel::testing
