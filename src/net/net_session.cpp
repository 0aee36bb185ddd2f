// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/net_session.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>
#include <utility>

#include "net/bounded_wait_internal.h"
#include "net/connect_first.h"
#include "net/connection_state_internal.h"
#include "net/host_part.h"
#include "net/resolver.h"
#include "net/transport.h"
#include "platform/clock.h"
#include "platform/error_text.h"

namespace kestrel::net {

namespace {

using internal::BoundedWait;
using internal::ConnectionState;
using internal::StateOf;
using internal::WaitDisplay;

// The two lines that describe the socket library after start-up.
constexpr std::string_view kLibraryDescription =
    "POSIX sockets (TCP over IPv6 and IPv4, non-blocking, poll)";
constexpr std::string_view kLibraryStatus = "Running";
// The "-> Resolving " line is cut here.
constexpr std::size_t kMaxResolvingLine = 92;
// Buffer for gethostname.
constexpr std::size_t kHostNameBuffer = 512;
// Buffer for the service look-up result.
constexpr std::size_t kServiceBuffer = 1024;

void LookUpLocalHost(NetSession& session) {
  std::string& local_host = StateOf(session).local_host;
  std::array<char, kHostNameBuffer> buffer{};
  if (::gethostname(buffer.data(), buffer.size() - 1) == 0) {
    local_host = std::string(buffer.data()).substr(0, kMaxLocalHost);
  } else {
    local_host.clear();
  }
  LogLine(session,
          local_host.empty() ? std::string("-- No local host") : "-- Local host " + local_host);
}

void ResolveServer(NetSession& session) {
  ConnectionState& state = StateOf(session);
  state.server_host = state.configured_host.substr(0, kMaxServerHost);
  const std::string name = HostPart(state.server_host);
  std::string reason = "no address for " + name;
  bool no_such_name = false;
  std::string address_text;  // a literal as written
  if (const std::optional<SocketAddress> literal = NumericAddress(name)) {
    if (literal->IsUnspecified()) {
      reason = "not an address to connect to";
    } else {
      state.server_addresses = {*literal};
      address_text = state.server_host;
    }
  } else {
    LogLine(session, ("-> Resolving " + state.configured_host).substr(0, kMaxResolvingLine));
    PendingResolution resolution(name);
    if (resolution.started()) {
      BoundedWait wait(session, WaitDisplay{0, -1});
      while (!resolution.Done() && !session.IsAborted() && !wait.timed_out()) {
        (void)wait.WaitFor(resolution.Descriptor(), POLLIN);
      }
      if (wait.timed_out()) {
        session.MarkTimedOut();
        reason = "no answer within " + std::to_string(state.net_timeout) + " seconds";
      } else if (!resolution.Done()) {
        reason = "stopped";
      } else {
        const Resolution found = resolution.Result();
        state.server_addresses = ConnectionOrder(found.addresses);
        if (found.failure == ResolveFailure::NoSuchName) {
          reason = "the name " + name + " does not exist";
          no_such_name = true;
        } else if (found.failure == ResolveFailure::NotNow) {
          reason = "the name server cannot answer now for " + name;
        }
      }
    }
  }
  if (state.server_addresses.empty()) {
    const std::string failure = "Could not resolve hostname, aborting (" + reason + ")";
    LogLine(session, "-- " + failure);
    // Trying again will not make a name exist: the configuration is wrong.
    if (no_such_name) session.NoteMisconfigured(name);
    session.Abort(failure);
    return;
  }
  if (address_text.empty()) address_text = state.server_addresses.front().Text();
  LogLine(session, "<- Server IP-address: " + address_text);
}

void LookUpServicePort(NetSession& session) {
  ConnectionState& state = StateOf(session);
  if (state.configured_port != 0) {
    // Our own port key: no look-up.
    state.port = state.configured_port;
  } else {
    servent entry{};
    servent* found = nullptr;
    std::array<char, kServiceBuffer> buffer{};
    if (::getservbyname_r(state.service_name.c_str(), "tcp", &entry, buffer.data(), buffer.size(),
                          &found) == 0 &&
        found != nullptr) {
      state.port = ntohs(static_cast<std::uint16_t>(found->s_port));
    } else {
      state.port = state.default_port;
    }
  }
  LogLine(session, "<- Opening serviceport " + std::to_string(state.port));
}

void OpenSocket(NetSession& session) {
  ConnectionState& state = StateOf(session);
  state.socket.Reset(::socket(state.server_addresses.front().family(),
                              SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!state.socket) state.last_error = errno;
  LogLine(session, "<- Socket " + std::to_string(state.socket.get()));
}

void ConnectServer(NetSession& session) {
  if (session.IsAborted()) return;
  ConnectionState& state = StateOf(session);
  LogLine(session, "-- Connecting");
  internal::ConnectOutcome outcome =
      internal::ConnectFirst(session, state.server_addresses, state.port, std::move(state.socket));
  state.socket = std::move(outcome.socket);
  if (!state.socket) {
    if (session.IsAborted() && !outcome.timed_out) return;  // stopped
    std::string failure;
    if (outcome.timed_out) {
      session.MarkTimedOut();
      failure =
          "Could not connect (no answer within " + std::to_string(state.net_timeout) + " seconds)";
    } else {
      state.last_error = outcome.error != 0 ? outcome.error : state.last_error;
      failure = "Could not connect (" + platform::ErrorText(state.last_error) + ")";
    }
    LogLine(session, "-- " + failure);
    session.Abort(failure);
    return;
  }
  state.connected_address = state.server_addresses[outcome.index].Text();
  if (state.server_addresses.size() > 1)
    LogLine(session, "-- Connected to " + state.connected_address);
  // Message data leaves in large writes; Nagle would hold back the tail of
  // each one until the previous segment is acknowledged.
  const int on = 1;
  (void)::setsockopt(state.socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  state.transport = std::make_unique<PlainTransport>(state.socket.get());
}

}  // namespace

NetSession::NetSession(core::Side side_of_job, const Endpoint& endpoint, core::Logger& log)
    : side_(side_of_job), logger_(log), state_(std::make_unique<ConnectionState>()) {
  state_->service_name = endpoint.service;
  state_->default_port = endpoint.default_port;
  state_->net_timeout = endpoint.timeout_seconds;
  state_->configured_host = endpoint.host;
  state_->configured_port = endpoint.port;
  state_->wake_event.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

NetSession::~NetSession() = default;

std::uint16_t NetSession::net_timeout() const {
  return state_->net_timeout;
}

const std::string& NetSession::local_host() const {
  return state_->local_host;
}

const std::string& NetSession::server_host() const {
  return state_->server_host;
}

std::uint16_t NetSession::port() const {
  return state_->port;
}

const std::string& NetSession::connected_address() const {
  return state_->connected_address;
}

void NetSession::Abort(std::string_view reason) {
  {
    const std::lock_guard guard(outcome_mutex_);
    outcome_.SetAborted(reason);
  }
  aborted_.store(true);
  if (state_->wake_event) {
    const std::uint64_t one = 1;
    (void)!::write(state_->wake_event.get(), &one, sizeof one);
  }
}

void NetSession::RequestStop() {
  stop_requested_at_ = platform::MonotonicHundredths();
  if (in_message_data_) Abort(kStoppedReason);
}

void NetSession::NoteShortfall(std::string what, std::string reply) {
  const Permanence permanence = PermanenceOfReply(reply);
  NoteShortfall(Shortfall{std::move(what), std::move(reply), permanence});
}

void NetSession::NoteShortfall(Shortfall shortfall) {
  const std::lock_guard guard(outcome_mutex_);
  outcome_.Add(std::move(shortfall));
}

void NetSession::NoteMisconfigured(std::string what) {
  const std::lock_guard guard(outcome_mutex_);
  outcome_.Add(Shortfall{std::move(what), {}, Permanence::Permanent});
  outcome_.SetMisconfigured();
}

void NetSession::NoteLeftByFilters(std::uint64_t messages) {
  const std::lock_guard guard(outcome_mutex_);
  outcome_.SetLeftByFilters(messages);
}

SessionOutcome NetSession::Outcome() const {
  const std::lock_guard guard(outcome_mutex_);
  return outcome_;
}

bool NetSession::StopGraceOver() const {
  const std::int64_t at = stop_requested_at_.load();
  return at >= 0 && platform::MonotonicHundredths() - at >= kStopGraceSeconds * 100;
}

SessionOutcome RunSession(NetSession& session, const Dialogue& dialogue) {
  LogLine(session, "-- " + std::string(kLibraryDescription));
  LogLine(session, "-- " + std::string(kLibraryStatus));
  LookUpLocalHost(session);
  internal::SetIndicator(session, true);
  if (!session.IsAborted()) ResolveServer(session);
  if (!session.IsAborted()) LookUpServicePort(session);
  if (!session.IsAborted()) OpenSocket(session);
  if (!session.IsAborted()) ConnectServer(session);
  internal::SetIndicator(session, false);
  // A Stop that came while connecting leaves no step to end gracefully.
  if (session.StopRequested()) session.Abort(kStoppedReason);
  if (!session.IsAborted() && dialogue) dialogue(session);
  StateOf(session).Disconnect();
  internal::ClearCountdown(session);
  internal::SetIndicator(session, false);
  return session.Outcome();
}

bool Reconnect(NetSession& session) {
  if (session.IsAborted()) return false;
  ConnectionState& state = StateOf(session);
  state.Disconnect();
  state.output.clear();
  state.input.clear();
  state.input_position = 0;
  session.closed_ = false;
  OpenSocket(session);
  ConnectServer(session);
  return !session.IsAborted();
}

void LogLine(NetSession& session, std::string_view text, core::LineKind kind) {
  if (session.log_suspended()) {
    session.logger().front_end().AppendLine(session.side(), text.substr(0, core::kMaxLogLine),
                                            kind);
  } else {
    session.logger().LogLine(session.side(), text, kind);
  }
}

void LogAndAbort(NetSession& session, std::string_view line, core::LineKind kind) {
  LogLine(session, line, kind);
  std::string_view reason = line;
  if (reason.size() >= 3 && reason[2] == ' ') reason.remove_prefix(3);
  session.Abort(reason);
}

namespace internal {

ConnectionState& StateOf(NetSession& session) {
  return *session.state_;
}

const ConnectionState& StateOf(const NetSession& session) {
  return *session.state_;
}

}  // namespace internal

}  // namespace kestrel::net
