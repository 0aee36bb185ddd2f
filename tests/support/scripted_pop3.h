// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A POP3 peer on 127.0.0.1 that follows a script, for the misbehaviour a real
// server does not show on demand: data that stops flowing without the
// connection closing. It records every command it receives.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/mail_servers.h"

namespace kestrel::testing {

class ScriptedPop3 {
 public:
  enum class After { Continue, Stall, Close };
  struct Answer {
    std::string bytes;
    After after = After::Continue;
  };
  using Script = std::function<Answer(const std::string& command)>;

  explicit ScriptedPop3(Script script) : script_(std::move(script)) {
    listener_ = ListenOnLoopback(1, port_);
    if (listener_ < 0) return;
    thread_ = std::thread([this] { Serve(); });
  }

  ~ScriptedPop3() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }

  [[nodiscard]] std::uint16_t port() const { return port_; }
  [[nodiscard]] std::vector<std::string> Commands() const {
    std::lock_guard guard(mutex_);
    return commands_;
  }

 private:
  // Waits for input on fd for at most 50 ms; false when stopping.
  bool Readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    while (!stop_) {
      if (::poll(&entry, 1, 50) > 0) return true;
    }
    return false;
  }

  void Serve() {
    if (!Readable(listener_)) return;
    const int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    Send(fd, "+OK scripted\r\n");
    std::string pending;
    char buffer[4096];
    bool open = true;
    while (open && Readable(fd)) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      pending.append(buffer, static_cast<std::size_t>(n));
      for (auto end = pending.find("\r\n"); end != std::string::npos; end = pending.find("\r\n")) {
        const std::string command = pending.substr(0, end);
        pending.erase(0, end + 2);
        {
          std::lock_guard guard(mutex_);
          commands_.push_back(command);
        }
        // A server of the oldest kind, without unique ids or capabilities,
        // unless the script says otherwise.
        Answer answer = script_(command);
        if (command == "UIDL" && answer.bytes == "+OK\r\n") answer.bytes = "-ERR no UIDL\r\n";
        if (command == "CAPA" && answer.bytes == "+OK\r\n") answer.bytes = "-ERR no CAPA\r\n";
        Send(fd, answer.bytes);
        if (answer.after == After::Close) open = false;
        if (answer.after == After::Stall) {
          while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
          open = false;
        }
        if (!open) break;
      }
    }
    ::close(fd);
  }

  static void Send(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  }

  Script script_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> commands_;
};

}  // namespace kestrel::testing
