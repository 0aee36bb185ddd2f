// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A TCP proxy on 127.0.0.1 that holds every byte for a fixed time in each
// direction before it passes it on: a long link (a round trip of twice the
// delay) on loopback, for counting a protocol's round trips by the clock.
// One thread a direction of each connection; every wait is bounded.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrel::testing {

class DelayProxy {
 public:
  DelayProxy(std::uint16_t target_port, std::chrono::milliseconds delay);
  ~DelayProxy();
  DelayProxy(const DelayProxy&) = delete;
  DelayProxy& operator=(const DelayProxy&) = delete;

  [[nodiscard]] bool running() const { return listener_ >= 0; }
  [[nodiscard]] std::uint16_t port() const { return port_; }

 private:
  void Accept();
  void Forward(int from, int to);

  std::uint16_t target_port_;
  std::chrono::milliseconds delay_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::mutex mutex_;  // guards the two below
  std::vector<std::thread> forwarders_;
  std::vector<int> sockets_;
};

}  // namespace kestrel::testing
