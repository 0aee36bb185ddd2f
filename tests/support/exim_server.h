// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A private Exim 4 on 127.0.0.1 and a free port, with its own configuration,
// spool and log: a real MTA that offers PIPELINING and CHUNKING and counts
// what a client does (messages a connection, commands that carry no mail).
// Every recipient at example.org but the refused local parts is delivered
// into one Maildir. Needs root and the unpacked Exim that
// scripts/install-deps.sh puts behind /usr/sbin/exim4; running() is false
// otherwise.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/mail_servers.h"

namespace kestrel::testing {

struct EximOptions {
  int max_per_connection = 0;               // smtp_accept_max_per_connection; 0: none
  std::vector<std::string> refused_locals;  // RCPT answered "550"
  bool starttls = false;                    // STARTTLS offered, with a self-signed certificate
};

class EximServer {
 public:
  explicit EximServer(EximOptions options = {});
  ~EximServer();
  EximServer(const EximServer&) = delete;
  EximServer& operator=(const EximServer&) = delete;

  [[nodiscard]] bool running() const { return running_; }
  [[nodiscard]] std::uint16_t port() const { return port_; }
  // The certificate's file, with starttls.
  [[nodiscard]] std::string certificate() const { return dir_ + "/cert.pem"; }
  // Full paths of the delivered messages, sorted by name.
  [[nodiscard]] std::vector<std::string> MessageFiles() const;
  // Delivers what was queued, then waits (bounded) for `count` messages.
  bool WaitForMessages(std::size_t count, std::chrono::milliseconds timeout = 20s) const;
  // Exim's main and reject logs, for failure messages.
  [[nodiscard]] std::string ServerLog() const;

 private:
  std::string dir_;
  std::string maildir_;
  std::uint16_t port_ = 0;
  bool running_ = false;
};

}  // namespace kestrel::testing
