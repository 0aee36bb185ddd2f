// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// TLS over a connected non-blocking socket (OpenSSL). The certificate and the
// host name are verified against the system's store, and against a CA file
// when one is given; there is no way to switch verification off.

#include <memory>
#include <string>

#include "net/transport.h"

namespace kestrel::net {

class TlsTransport final : public Transport {
 public:
  // Prepares a client connection over `socket` (owned by the session) for
  // `host` (a name or a dotted address). Null, with `error` set, on failure.
  static std::unique_ptr<TlsTransport> Create(int socket, const std::string& host,
                                              const std::string& ca_file, std::string& error);
  ~TlsTransport() override;
  TlsTransport(const TlsTransport&) = delete;
  TlsTransport& operator=(const TlsTransport&) = delete;

  // One step of the handshake: Done when it is complete, WouldBlock with the
  // event to wait for, Failed (see FailureText) or Closed.
  [[nodiscard]] IoResult Handshake();
  // Why the handshake failed, for the log: the verification error when the
  // certificate was refused, else OpenSSL's reason.
  [[nodiscard]] std::string FailureText() const;
  // Protocol and cipher, e.g. "TLSv1.3 TLS_AES_256_GCM_SHA384".
  [[nodiscard]] std::string Description() const;

  [[nodiscard]] IoResult Send(const char* data, std::size_t size) override;
  [[nodiscard]] IoResult Receive(char* data, std::size_t size) override;
  [[nodiscard]] bool HasPendingInput() const override;
  [[nodiscard]] int Descriptor() const override { return socket_; }

 private:
  struct State;
  TlsTransport(int socket, std::unique_ptr<State> state);
  IoResult Translate(int result);

  int socket_;
  std::unique_ptr<State> state_;
};

}  // namespace kestrel::net
