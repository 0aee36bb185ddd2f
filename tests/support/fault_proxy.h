// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A TCP proxy for tests, between the program and a real mail server on
// 127.0.0.1, that cuts, resets or stalls the connection at a chosen point of
// the byte streams: after so many bytes, after a text (the n-th "\r\n.\r\n"),
// or after a text of the other direction armed it (the reply that follows a
// command). One thread sleeps in poll(); connections and buffers are bounded.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace kestrel::testing {

// The two byte streams of a proxied connection.
enum class Flow { ToServer, ToClient };

enum class FaultAction {
  Cut,     // both sockets closed (FIN)
  Reset,   // both sockets closed with RST
  Stall,   // nothing more forwarded either way; closed once the client gives up
  Notify,  // `notify` runs on the proxy's thread; forwarding goes on
};

// Where the fault happens: in `flow`, once `armed_by` has passed in the other
// stream (its armed_occurrence-th occurrence; empty: armed at once), then
// `after` has passed in `flow` (its after_occurrence-th occurrence after the
// arming; empty: none), then `offset` more bytes of `flow`. The fault takes
// effect when the next byte of `flow` beyond that point arrives from its
// sender, so a point at the end of a command, with the other side's reply
// still to come, stops that reply.
struct FaultPoint {
  FaultAction action = FaultAction::Cut;
  Flow flow = Flow::ToClient;
  std::string armed_by;
  int armed_occurrence = 1;
  std::string after;
  int after_occurrence = 1;
  std::uint64_t offset = 0;
  std::function<void()> notify;  // for Notify
  std::string label;             // for messages
};

// Text for failure messages: "Cut ToClient after 2x \"\\r\\n.\\r\\n\" +0".
[[nodiscard]] std::string Describe(const FaultPoint& point);

class FaultProxy {
 public:
  // Listens on 127.0.0.1 (a free port) and forwards to 127.0.0.1:server_port.
  explicit FaultProxy(std::uint16_t server_port);
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  [[nodiscard]] bool running() const { return listen_fd_ >= 0; }
  [[nodiscard]] std::uint16_t port() const { return port_; }

  // The fault for the next connection accepted; connections after that one
  // pass clean until Arm is called again.
  void Arm(FaultPoint point);
  // No fault for the next connection.
  void Disarm();
  // True when the fault of the last armed connection has happened.
  [[nodiscard]] bool Fired() const { return fired_.load(); }
  [[nodiscard]] int Connections() const { return connections_.load(); }
  // Connections still open (a stalled one counts until its client gives up).
  [[nodiscard]] int OpenConnections() const { return open_.load(); }

 private:
  struct Connection;
  void Run();
  void Accept();
  void Service(Connection& connection, short client_events, short server_events);

  int listen_fd_ = -1;
  int wake_fd_ = -1;
  std::uint16_t server_port_ = 0;
  std::uint16_t port_ = 0;
  std::mutex mutex_;
  std::optional<FaultPoint> next_;  // guarded by mutex_
  std::atomic<bool> fired_{false};
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> open_{0};
  std::thread thread_;
};

}  // namespace kestrel::testing
