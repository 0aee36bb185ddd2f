// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A raw TCP peer on 127.0.0.1 (or ::1) for socket-layer tests: accepts one connection
// and plays a script of sends, line reads, pauses and a close, recording
// every byte it receives; given several scripts, it plays each on the next
// connection. Everything is bounded by time-outs.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/mail_servers.h"

namespace kestrel::testing {

class ScriptedPeer {
 public:
  struct Step {
    enum class Kind { Send, ReadLine, ReadUntil, Pause, Close };
    Kind kind;
    std::string text;  // Send: bytes to send
    int milliseconds = 0;
  };
  static Step Send(std::string bytes) { return {Step::Kind::Send, std::move(bytes), 0}; }
  static Step ReadLine() { return {Step::Kind::ReadLine, {}, 0}; }
  // Reads past the next `marker` (a message's "\r\n.\r\n") after the lines taken.
  static Step ReadUntil(std::string marker) {
    return {Step::Kind::ReadUntil, std::move(marker), 0};
  }
  static Step Pause(int ms) { return {Step::Kind::Pause, {}, ms}; }
  static Step Close() { return {Step::Kind::Close, {}, 0}; }

  // After the script the peer keeps reading until the client closes.
  explicit ScriptedPeer(std::vector<Step> script, bool on_ipv6 = false)
      : ScriptedPeer(std::vector<std::vector<Step>>{std::move(script)}, on_ipv6) {}
  // One script a connection, in the order they come.
  ScriptedPeer(std::vector<std::vector<Step>> scripts, bool on_ipv6)
      : scripts_(std::move(scripts)) {
    listener_ = on_ipv6 ? ListenOnLoopback6(4, port_) : ListenOnLoopback(4, port_);
    if (listener_ < 0) return;
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  [[nodiscard]] std::uint16_t port() const { return port_; }
  // Everything received so far.
  [[nodiscard]] std::string Received() const {
    std::lock_guard guard(mutex_);
    return received_;
  }
  // Waits (bounded) until the peer has finished and the client closed.
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  static constexpr int kSliceMs = 20;
  static constexpr auto kLimit = std::chrono::seconds(30);

  // Reads what is there (waiting up to one slice); false when the client closed.
  bool ReadSome(int fd) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, kSliceMs) <= 0) return true;
    char buffer[65536];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    std::lock_guard guard(mutex_);
    received_.append(buffer, static_cast<std::size_t>(got));
    return true;
  }

  void Run() {
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    for (const std::vector<Step>& script : scripts_) {
      if (!Play(script, deadline)) return;
    }
  }

  // One connection; false when none came.
  bool Play(const std::vector<Step>& script, std::chrono::steady_clock::time_point deadline) {
    {
      // Lines are counted from the start of each connection.
      std::lock_guard guard(mutex_);
      connection_start_ = received_.size();
    }
    int fd = -1;
    while (fd < 0 && !stop_ && std::chrono::steady_clock::now() < deadline) {
      pollfd entry{listener_, POLLIN, 0};
      if (::poll(&entry, 1, kSliceMs) > 0)
        fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (fd < 0) return false;
    bool open = true;
    std::size_t lines_taken = 0;
    for (const Step& step : script) {
      if (stop_ || !open) break;
      switch (step.kind) {
        case Step::Kind::Send:
          (void)::send(fd, step.text.data(), step.text.size(), MSG_NOSIGNAL);
          break;
        case Step::Kind::ReadLine: {
          // Lines that arrived together are taken one step after another.
          while (open && !stop_ && CountLines() <= lines_taken &&
                 std::chrono::steady_clock::now() < deadline) {
            open = ReadSome(fd);
          }
          ++lines_taken;
          break;
        }
        case Step::Kind::ReadUntil:
          for (;;) {
            const std::size_t at = FindAfterLines(step.text, lines_taken);
            if (at != std::string::npos) {
              lines_taken = LinesBefore(at + step.text.size());
              break;
            }
            if (!open || stop_ || std::chrono::steady_clock::now() >= deadline) break;
            open = ReadSome(fd);
          }
          break;
        case Step::Kind::Pause: {
          const auto until =
              std::chrono::steady_clock::now() + std::chrono::milliseconds(step.milliseconds);
          while (open && !stop_ && std::chrono::steady_clock::now() < until) open = ReadSome(fd);
          break;
        }
        case Step::Kind::Close:
          open = false;
          break;
      }
    }
    while (open && !stop_ && std::chrono::steady_clock::now() < deadline) open = ReadSome(fd);
    ::close(fd);
    return true;
  }

  std::size_t CountLines() const {
    std::lock_guard guard(mutex_);
    return static_cast<std::size_t>(std::count(
        received_.begin() + static_cast<std::ptrdiff_t>(connection_start_), received_.end(), '\n'));
  }
  std::size_t LinesBefore(std::size_t end) const {
    std::lock_guard guard(mutex_);
    return static_cast<std::size_t>(
        std::count(received_.begin() + static_cast<std::ptrdiff_t>(connection_start_),
                   received_.begin() + static_cast<std::ptrdiff_t>(end), '\n'));
  }
  // Where `marker` first occurs from the start of line `lines` on (its line
  // end before it counts, so that "\r\n.\r\n" finds a lone "." line).
  std::size_t FindAfterLines(const std::string& marker, std::size_t lines) const {
    std::lock_guard guard(mutex_);
    std::size_t from = connection_start_;
    for (std::size_t i = 0; i < lines && from != std::string::npos; ++i) {
      from = received_.find('\n', from);
      if (from != std::string::npos) ++from;
    }
    if (from == std::string::npos) return from;
    return received_.find(marker, from >= connection_start_ + 2 ? from - 2 : connection_start_);
  }

  std::vector<std::vector<Step>> scripts_;
  std::size_t connection_start_ = 0;  // where the current connection's bytes begin
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::string received_;
};

}  // namespace kestrel::testing
