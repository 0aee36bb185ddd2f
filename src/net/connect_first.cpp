// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/connect_first.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <utility>

#include "net/bounded_wait_internal.h"
#include "platform/error_text.h"

namespace kestrel::net::internal {

namespace {

struct Attempt {
  platform::UniqueFd socket;
  std::size_t index;
};

class Race {
 public:
  Race(NetSession& session, const std::vector<SocketAddress>& addresses, std::uint16_t port,
       platform::UniqueFd first_socket)
      : session_(session), addresses_(addresses), port_(port), spare_(std::move(first_socket)) {}

  ConnectOutcome Run() {
    BoundedWait wait(session_, WaitDisplay{0, -1});
    StartNext();
    while (!outcome_.socket && !session_.IsAborted()) {
      if (pending_.empty() && next_ >= addresses_.size()) break;
      if (pending_.empty()) {
        StartNext();
        continue;
      }
      std::vector<pollfd> entries;
      for (const Attempt& attempt : pending_) entries.push_back({attempt.socket.get(), POLLOUT, 0});
      const bool more = next_ < addresses_.size();
      if (wait.WaitForAny(entries, more ? kNextAttemptDelayMs : -1) == 0) {
        if (wait.timed_out()) outcome_.timed_out = true;
        if (wait.timed_out() || session_.IsAborted()) break;
        StartNext();  // the running attempts go on beside it
        continue;
      }
      Collect(entries);
    }
    pending_.clear();
    spare_.Reset();
    return std::move(outcome_);
  }

 private:
  // Starts attempts until one is under way or connected, or none are left.
  void StartNext() {
    while (next_ < addresses_.size() && !outcome_.socket) {
      const std::size_t index = next_++;
      SocketAddress address = addresses_[index];
      address.SetPort(port_);
      platform::UniqueFd fd;
      if (index == 0) fd = std::move(spare_);
      if (!fd) fd.Reset(::socket(address.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      if (!fd) {
        Failed(index, errno);
        continue;
      }
      if (::connect(fd.get(), address.get(), address.length) == 0) {
        outcome_.socket = std::move(fd);
        outcome_.index = index;
        return;
      }
      if (errno == EINPROGRESS || errno == EINTR) {
        pending_.push_back({std::move(fd), index});
        return;
      }
      Failed(index, errno);
    }
  }

  // Takes the attempts that poll reported: one connected, or failed.
  void Collect(const std::vector<pollfd>& entries) {
    bool any_failed = false;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].revents == 0) continue;
      Attempt& attempt = pending_[i];
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(attempt.socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
      if (error == 0 && !outcome_.socket) {
        outcome_.socket = std::move(attempt.socket);
        outcome_.index = attempt.index;
      } else if (error != 0) {
        Failed(attempt.index, error);
        attempt.socket.Reset();
        any_failed = true;
      }
    }
    std::erase_if(pending_, [](const Attempt& attempt) { return !attempt.socket; });
    // A refusal hands over to the next address at once, not after the delay.
    if (any_failed && !outcome_.socket) StartNext();
  }

  void Failed(std::size_t index, int error) {
    outcome_.error = error;
    if (addresses_.size() > 1) {
      LogLine(session_, "-- No connection to " + addresses_[index].Text() + " (" +
                            platform::ErrorText(error) + ")");
    }
  }

  NetSession& session_;
  const std::vector<SocketAddress>& addresses_;
  std::uint16_t port_;
  platform::UniqueFd spare_;
  std::size_t next_ = 0;
  std::vector<Attempt> pending_;
  ConnectOutcome outcome_;
};

}  // namespace

ConnectOutcome ConnectFirst(NetSession& session, const std::vector<SocketAddress>& addresses,
                            std::uint16_t port, platform::UniqueFd first_socket) {
  return Race(session, addresses, port, std::move(first_socket)).Run();
}

}  // namespace kestrel::net::internal
