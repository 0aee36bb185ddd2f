// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/fault_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string_view>
#include <vector>

namespace kestrel::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes read from one side at once; a direction reads again only once they
// are forwarded, so this is also the most a direction buffers.
constexpr std::size_t kChunkBytes = 16 * 1024;
// A test opens one or two connections at a time; more are refused.
constexpr std::size_t kMaxConnections = 8;
// How long poll sleeps before it looks at the stop flag and the stall clock.
constexpr int kPollMilliseconds = 50;
// A stalled connection whose client never gives up is closed after this.
constexpr auto kMaxStall = std::chrono::seconds(120);

std::string Escaped(std::string_view text) {
  std::string shown;
  for (char c : text) {
    if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else {
      shown += c;
    }
  }
  return shown;
}

const char* ActionName(FaultAction action) {
  switch (action) {
    case FaultAction::Cut:
      return "Cut";
    case FaultAction::Reset:
      return "Reset";
    case FaultAction::Stall:
      return "Stall";
    case FaultAction::Notify:
      return "Notify";
  }
  return "?";
}

void CloseFd(int& fd, bool reset) {
  if (fd < 0) return;
  if (reset) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  close(fd);
  fd = -1;
}

bool SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Counts the occurrences of `text` that end inside `data` (the bytes after
// `tail`, the last bytes seen before them) and returns the end, within
// `data`, of the wanted-th one when it is among them.
std::optional<std::size_t> FindOccurrence(const std::string& text, int wanted, int& seen,
                                          std::string& tail, std::string_view data) {
  std::optional<std::size_t> found;
  if (text.empty()) return found;
  std::string window = tail;
  window.append(data);
  for (std::size_t at = window.find(text); at != std::string::npos;
       at = window.find(text, at + 1)) {
    const std::size_t end = at + text.size();
    if (end <= tail.size()) continue;  // counted with the bytes before
    if (++seen == wanted && !found) found = end - tail.size();
  }
  const std::size_t keep = std::min(window.size(), text.size() - 1);
  tail = window.substr(window.size() - keep);
  return found;
}

// One direction of a connection.
struct Stream {
  std::string pending;  // read, not yet written on
  std::size_t written = 0;
  std::string held;  // behind a Notify point, forwarded once it ran
  bool eof = false;  // the sender closed its side
  bool shut = false;
  std::uint64_t passed = 0;  // bytes let through so far
  std::string arm_tail;      // searches in this stream
  int arm_seen = 0;
  std::string after_tail;
  int after_seen = 0;
};

}  // namespace

std::string Describe(const FaultPoint& point) {
  std::string text = ActionName(point.action);
  text += point.flow == Flow::ToServer ? " ToServer" : " ToClient";
  if (!point.armed_by.empty()) {
    text += " armed by " + std::to_string(point.armed_occurrence) + "x \"" +
            Escaped(point.armed_by) + "\"";
  }
  if (!point.after.empty()) {
    text +=
        " after " + std::to_string(point.after_occurrence) + "x \"" + Escaped(point.after) + "\"";
  }
  text += " +" + std::to_string(point.offset);
  if (!point.label.empty()) text += " (" + point.label + ")";
  return text;
}

struct FaultProxy::Connection {
  int client = -1;
  int server = -1;
  Stream up;    // client to server
  Stream down;  // server to client
  std::optional<FaultPoint> fault;
  bool armed = false;
  bool point_known = false;
  std::uint64_t trigger_at = 0;  // position in the fault's stream
  bool due = false;              // the fault happens once the stream's pending bytes are out
  bool stalled = false;
  Clock::time_point stalled_since{};
  bool finished = false;

  Stream& Of(Flow flow) { return flow == Flow::ToServer ? up : down; }
  int To(Flow flow) const { return flow == Flow::ToServer ? server : client; }

  void Close(bool reset) {
    CloseFd(client, reset);
    CloseFd(server, reset);
    finished = true;
  }

  void SetArmed() {
    armed = true;
    Stream& stream = Of(fault->flow);
    stream.after_tail.clear();
    stream.after_seen = 0;
    if (fault->after.empty()) {
      point_known = true;
      trigger_at = stream.passed + fault->offset;
    }
  }
};

FaultProxy::FaultProxy(std::uint16_t server_port) : server_port_(server_port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, static_cast<int>(kMaxConnections)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    close(fd);
    return;
  }
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) {
    close(fd);
    return;
  }
  listen_fd_ = fd;
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

FaultProxy::~FaultProxy() {
  stop_ = true;
  if (wake_fd_ >= 0) {
    const std::uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof one);
  }
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) close(listen_fd_);
  if (wake_fd_ >= 0) close(wake_fd_);
}

void FaultProxy::Arm(FaultPoint point) {
  std::lock_guard guard(mutex_);
  next_ = std::move(point);
  fired_ = false;
}

void FaultProxy::Disarm() {
  std::lock_guard guard(mutex_);
  next_.reset();
  fired_ = false;
}

void FaultProxy::Run() {
  std::vector<std::unique_ptr<Connection>> connections;
  auto accept_one = [&] {
    const int client = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) return;
    if (connections.size() >= kMaxConnections) {
      close(client);
      return;
    }
    auto connection = std::make_unique<Connection>();
    connection->client = client;
    {
      std::lock_guard guard(mutex_);
      connection->fault = std::move(next_);
      next_.reset();
    }
    ++connections_;
    // Loopback: the connect is immediate; a server that is gone closes the client.
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(server_port_);
    if (server < 0 || connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        !SetNonBlocking(server)) {
      if (server >= 0) close(server);
      close(client);
      return;
    }
    connection->server = server;
    if (connection->fault && connection->fault->armed_by.empty()) connection->SetArmed();
    connections.push_back(std::move(connection));
    ++open_;
  };

  std::vector<pollfd> fds;
  while (!stop_) {
    fds.clear();
    fds.push_back({wake_fd_, POLLIN, 0});
    fds.push_back({listen_fd_, POLLIN, 0});
    for (const auto& connection : connections) {
      Connection& c = *connection;
      short client_events = 0;
      short server_events = 0;
      if (c.stalled) {
        client_events = POLLRDHUP;
      } else {
        if (c.up.pending.empty() && !c.up.eof && !c.due) client_events |= POLLIN;
        if (c.down.pending.empty() && !c.down.eof && !c.due) server_events |= POLLIN;
        if (!c.down.pending.empty()) client_events |= POLLOUT;
        if (!c.up.pending.empty()) server_events |= POLLOUT;
      }
      fds.push_back({c.client, client_events, 0});
      fds.push_back({c.server, server_events, 0});
    }
    if (poll(fds.data(), fds.size(), kPollMilliseconds) < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) accept_one();
    for (std::size_t i = 0; i < connections.size() && 2 + 2 * i + 1 < fds.size(); ++i) {
      Service(*connections[i], fds[2 + 2 * i].revents, fds[2 + 2 * i + 1].revents);
    }
    for (auto it = connections.begin(); it != connections.end();) {
      if ((*it)->finished) {
        it = connections.erase(it);
        --open_;
      } else {
        ++it;
      }
    }
  }
  for (auto& connection : connections) connection->Close(false);
}

void FaultProxy::Service(Connection& c, short client_events, short server_events) {
  if (c.stalled) {
    if ((client_events & (POLLRDHUP | POLLHUP | POLLERR)) ||
        Clock::now() - c.stalled_since > kMaxStall) {
      c.Close(false);
    }
    return;
  }

  auto fire = [&](Flow flow) {
    Stream& stream = c.Of(flow);
    const FaultPoint fault = *c.fault;
    c.fault.reset();
    c.due = false;
    // Told before the client can see the effect.
    fired_ = true;
    switch (fault.action) {
      case FaultAction::Notify:
        if (fault.notify) fault.notify();
        stream.pending = std::move(stream.held);
        stream.held.clear();
        stream.written = 0;
        stream.passed += stream.pending.size();
        break;
      case FaultAction::Cut:
      case FaultAction::Reset:
        c.Close(fault.action == FaultAction::Reset);
        break;
      case FaultAction::Stall:
        c.stalled = true;
        c.stalled_since = Clock::now();
        break;
    }
  };

  // Writes what is pending in one direction; false when the connection broke.
  auto flush = [&](Flow flow, short events) {
    Stream& stream = c.Of(flow);
    if (!stream.pending.empty() && (events & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t sent = send(c.To(flow), stream.pending.data() + stream.written,
                                stream.pending.size() - stream.written, MSG_NOSIGNAL);
      if (sent < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (sent > 0) stream.written += static_cast<std::size_t>(sent);
      if (stream.written == stream.pending.size()) {
        stream.pending.clear();
        stream.written = 0;
      }
    }
    if (stream.pending.empty()) {
      if (c.due && c.fault && c.fault->flow == flow) {
        fire(flow);
        if (c.finished || c.stalled) return true;
      }
      if (stream.eof && !stream.shut && stream.pending.empty()) {
        shutdown(c.To(flow), SHUT_WR);
        stream.shut = true;
      }
    }
    return true;
  };

  // Reads one chunk in one direction and decides how much of it passes.
  auto receive = [&](Flow flow, int from, short events) {
    Stream& stream = c.Of(flow);
    if (!(events & (POLLIN | POLLHUP | POLLERR)) || !stream.pending.empty() || stream.eof ||
        c.due) {
      return true;
    }
    char buffer[kChunkBytes];
    const ssize_t got = recv(from, buffer, sizeof buffer, 0);
    if (got < 0) return errno == EAGAIN || errno == EINTR;
    if (got == 0) {
      stream.eof = true;
      return true;
    }
    const std::string_view data(buffer, static_cast<std::size_t>(got));
    std::size_t limit = data.size();
    if (c.fault && c.armed && c.fault->flow == flow) {
      FaultPoint& fault = *c.fault;
      if (!c.point_known) {
        if (auto end = FindOccurrence(fault.after, fault.after_occurrence, stream.after_seen,
                                      stream.after_tail, data)) {
          c.point_known = true;
          c.trigger_at = stream.passed + *end + fault.offset;
        }
      }
      if (c.point_known && c.trigger_at < stream.passed + data.size()) {
        limit = static_cast<std::size_t>(c.trigger_at - stream.passed);
        c.due = true;
        stream.held.assign(data.substr(limit));
      }
    }
    const std::string_view through = data.substr(0, limit);
    stream.pending.append(through);
    stream.passed += through.size();
    if (c.fault && !c.armed && c.fault->flow != flow &&
        FindOccurrence(c.fault->armed_by, c.fault->armed_occurrence, stream.arm_seen,
                       stream.arm_tail, through)) {
      c.SetArmed();
    }
    return true;
  };

  const bool ok = receive(Flow::ToServer, c.client, client_events) &&
                  receive(Flow::ToClient, c.server, server_events);
  if (!ok) {
    c.Close(false);
    return;
  }
  // Data just read is written at once where the socket takes it.
  for (Flow flow : {Flow::ToServer, Flow::ToClient}) {
    if (c.finished || c.stalled) return;
    if (!flush(flow, POLLOUT)) {
      c.Close(false);
      return;
    }
  }
  if (c.up.shut && c.down.shut) c.Close(false);
}

}  // namespace kestrel::testing
