// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A private Postfix instance on 127.0.0.1 and a free port, with its own
// configuration directory, queue and log: a real MTA with the limits
// providers set. Every recipient at example.org is delivered into one
// Maildir. Needs root (Postfix's master); running() is false otherwise.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/mail_servers.h"

namespace kestrel::testing {

struct PostfixOptions {
  std::uint64_t message_size_limit = 10'240'000;  // announced as SIZE
  bool require_fqdn_helo = true;                  // reject_non_fqdn_helo_hostname
};

class PostfixServer {
 public:
  explicit PostfixServer(PostfixOptions options = {});
  ~PostfixServer();
  PostfixServer(const PostfixServer&) = delete;
  PostfixServer& operator=(const PostfixServer&) = delete;

  [[nodiscard]] bool running() const { return running_; }
  [[nodiscard]] std::uint16_t port() const { return port_; }
  // Full paths of the delivered messages, sorted by name.
  [[nodiscard]] std::vector<std::string> MessageFiles() const;
  // Waits (bounded) until at least `count` messages are delivered.
  bool WaitForMessages(std::size_t count, std::chrono::milliseconds timeout = 20s) const;
  // Postfix's own log, for failure messages.
  [[nodiscard]] std::string ServerLog() const;

 private:
  void Stop();

  std::string dir_;
  std::string maildir_;
  std::uint16_t port_ = 0;
  bool running_ = false;
  bool started_ = false;
};

}  // namespace kestrel::testing
