// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The byte channel under a connection: non-blocking send and receive that say
// which poll() event they need when they cannot go on. The plain socket is one
// transport; an encrypting one can wrap it without the line code noticing.

#include <poll.h>

#include <cstddef>

namespace kestrel::net {

struct IoResult {
  enum class Status { Done, WouldBlock, Closed, Failed };
  Status status = Status::Failed;
  std::size_t count = 0;  // bytes moved when Done (at least 1)
  short wait_for = 0;     // POLLIN or POLLOUT when WouldBlock
  int error = 0;          // errno when Failed
};

class Transport {
 public:
  virtual ~Transport() = default;
  [[nodiscard]] virtual IoResult Send(const char* data, std::size_t size) = 0;
  [[nodiscard]] virtual IoResult Receive(char* data, std::size_t size) = 0;
  // True when Receive can deliver bytes without the socket becoming readable
  // (data already decoded inside the transport).
  [[nodiscard]] virtual bool HasPendingInput() const { return false; }
  [[nodiscard]] virtual int Descriptor() const = 0;
};

// The connected socket itself; the descriptor stays owned by the session.
class PlainTransport final : public Transport {
 public:
  explicit PlainTransport(int socket) : socket_(socket) {}
  [[nodiscard]] IoResult Send(const char* data, std::size_t size) override;
  [[nodiscard]] IoResult Receive(char* data, std::size_t size) override;
  [[nodiscard]] int Descriptor() const override { return socket_; }

 private:
  int socket_;
};

}  // namespace kestrel::net
