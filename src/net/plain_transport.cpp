// SPDX-License-Identifier: GPL-2.0-or-later
#include <sys/socket.h>

#include <cerrno>

#include "net/transport.h"

namespace kestrel::net {

IoResult PlainTransport::Send(const char* data, std::size_t size) {
  for (;;) {
    // MSG_NOSIGNAL: a peer that went away is a failed send, not a SIGPIPE.
    const ssize_t sent = ::send(socket_, data, size, MSG_NOSIGNAL);
    if (sent > 0) return {IoResult::Status::Done, static_cast<std::size_t>(sent), 0, 0};
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return {IoResult::Status::WouldBlock, 0, POLLOUT, 0};
    return {IoResult::Status::Failed, 0, 0, sent < 0 ? errno : EPIPE};
  }
}

IoResult PlainTransport::Receive(char* data, std::size_t size) {
  for (;;) {
    const ssize_t got = ::recv(socket_, data, size, 0);
    if (got > 0) return {IoResult::Status::Done, static_cast<std::size_t>(got), 0, 0};
    if (got == 0) return {IoResult::Status::Closed, 0, 0, 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      return {IoResult::Status::WouldBlock, 0, POLLIN, 0};
    return {IoResult::Status::Failed, 0, 0, errno};
  }
}

}  // namespace kestrel::net
