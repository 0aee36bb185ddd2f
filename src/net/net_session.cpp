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
#include "net/host_part.h"
#include "net/resolver.h"
#include "net/transport.h"
#include "platform/clock.h"
#include "platform/error_text.h"

namespace kestrel::net {

namespace {

using internal::BoundedWait;
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
  std::array<char, kHostNameBuffer> buffer{};
  if (::gethostname(buffer.data(), buffer.size() - 1) == 0) {
    session.LocalHost = std::string(buffer.data()).substr(0, kMaxLocalHost);
  } else {
    session.LocalHost.clear();
  }
  LogLine(session, session.LocalHost.empty() ? std::string("-- No local host")
                                             : "-- Local host " + session.LocalHost);
}

void ResolveServer(NetSession& session) {
  session.ServerHost = session.ConfiguredHost.substr(0, kMaxServerHost);
  const std::string name = HostPart(session.ServerHost);
  std::string reason = "no address for " + name;
  bool no_such_name = false;
  std::string address_text;  // a literal as written
  if (const std::optional<SocketAddress> literal = NumericAddress(name)) {
    if (literal->IsUnspecified()) {
      reason = "not an address to connect to";
    } else {
      session.ServerAddresses = {*literal};
      address_text = session.ServerHost;
    }
  } else {
    LogLine(session, ("-> Resolving " + session.ConfiguredHost).substr(0, kMaxResolvingLine));
    PendingResolution resolution(name);
    if (resolution.started()) {
      BoundedWait wait(session, WaitDisplay{0, -1});
      while (!resolution.Done() && !session.IsAborted() && !wait.timed_out()) {
        (void)wait.WaitFor(resolution.Descriptor(), POLLIN);
      }
      if (wait.timed_out()) {
        session.MarkTimedOut();
        reason = "no answer within " + std::to_string(session.NetTimeout) + " seconds";
      } else if (!resolution.Done()) {
        reason = "stopped";
      } else {
        const Resolution found = resolution.Result();
        session.ServerAddresses = ConnectionOrder(found.addresses);
        if (found.failure == ResolveFailure::NoSuchName) {
          reason = "the name " + name + " does not exist";
          no_such_name = true;
        } else if (found.failure == ResolveFailure::NotNow) {
          reason = "the name server cannot answer now for " + name;
        }
      }
    }
  }
  if (session.ServerAddresses.empty()) {
    LogLine(session, "-- Could not resolve hostname, aborting (" + reason + ")");
    // Trying again will not make a name exist: the configuration is wrong.
    if (no_such_name) session.NoteMisconfigured(name);
    session.Abort();
    return;
  }
  if (address_text.empty()) address_text = session.ServerAddresses.front().Text();
  LogLine(session, "<- Server IP-address: " + address_text);
}

void LookUpServicePort(NetSession& session) {
  if (session.ConfiguredPort != 0) {
    // Our own port key: no look-up.
    session.Port = session.ConfiguredPort;
  } else {
    servent entry{};
    servent* found = nullptr;
    std::array<char, kServiceBuffer> buffer{};
    if (::getservbyname_r(session.ServiceName.c_str(), "tcp", &entry, buffer.data(), buffer.size(),
                          &found) == 0 &&
        found != nullptr) {
      session.Port = ntohs(static_cast<std::uint16_t>(found->s_port));
    } else {
      session.Port = session.DefaultPort;
    }
  }
  LogLine(session, "<- Opening serviceport " + std::to_string(session.Port));
}

void OpenSocket(NetSession& session) {
  session.Socket = ::socket(session.ServerAddresses.front().family(),
                            SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (session.Socket < 0) session.LastError = errno;
  LogLine(session, "<- Socket " + std::to_string(session.Socket));
}

void ConnectServer(NetSession& session) {
  if (session.IsAborted()) return;
  LogLine(session, "-- Connecting");
  const internal::ConnectOutcome outcome =
      internal::ConnectFirst(session, session.ServerAddresses, session.Port, session.Socket);
  session.Socket = outcome.socket;
  if (outcome.socket < 0) {
    if (session.IsAborted() && !outcome.timed_out) return;  // stopped
    if (outcome.timed_out) {
      session.MarkTimedOut();
      LogLine(session, "-- Could not connect (no answer within " +
                           std::to_string(session.NetTimeout) + " seconds)");
    } else {
      session.LastError = outcome.error != 0 ? outcome.error : session.LastError;
      LogLine(session, "-- Could not connect (" + platform::ErrorText(session.LastError) + ")");
    }
    session.Abort();
    return;
  }
  session.ConnectedAddress = session.ServerAddresses[outcome.index].Text();
  if (session.ServerAddresses.size() > 1)
    LogLine(session, "-- Connected to " + session.ConnectedAddress);
  // Message data leaves in large writes; Nagle would hold back the tail of
  // each one until the previous segment is acknowledged.
  const int on = 1;
  (void)::setsockopt(session.Socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  session.transport = std::make_unique<PlainTransport>(session.Socket);
}

}  // namespace

NetSession::NetSession(core::Side side_of_job, const Endpoint& endpoint, core::Logger& log)
    : ServiceName(endpoint.service),
      DefaultPort(endpoint.default_port),
      side(side_of_job),
      logger(log),
      NetTimeout(endpoint.timeout_seconds),
      ConfiguredHost(endpoint.host),
      ConfiguredPort(endpoint.port) {
  wake_event = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

NetSession::~NetSession() {
  transport.reset();
  if (Socket >= 0) ::close(Socket);
  if (wake_event >= 0) ::close(wake_event);
}

void NetSession::Abort() {
  std::string reason;
  {
    const std::lock_guard guard(outcome_mutex_);
    reason = last_line_;
  }
  Abort(reason);
}

void NetSession::Abort(std::string_view reason) {
  {
    const std::lock_guard guard(outcome_mutex_);
    outcome_.SetAborted(reason);
  }
  Aborted.store(true);
  if (wake_event >= 0) {
    const std::uint64_t one = 1;
    (void)!::write(wake_event, &one, sizeof one);
  }
}

void NetSession::RequestStop() {
  stop_requested_at_ = platform::MonotonicHundredths();
  if (InMessageData) Abort(kStoppedReason);
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

void NetSession::NoteLoggedLine(std::string_view text) {
  // The log mark says nothing about the reason.
  if (text.size() >= 3 && text[2] == ' ') text.remove_prefix(3);
  const std::lock_guard guard(outcome_mutex_);
  last_line_.assign(text);
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
  session.transport.reset();
  if (session.Socket >= 0) ::close(session.Socket);
  session.Socket = -1;
  internal::ClearCountdown(session);
  internal::SetIndicator(session, false);
  return session.Outcome();
}

bool Reconnect(NetSession& session) {
  if (session.IsAborted()) return false;
  session.transport.reset();
  if (session.Socket >= 0) ::close(session.Socket);
  session.Socket = -1;
  session.output.clear();
  session.input.clear();
  session.input_position = 0;
  session.closed_ = false;
  OpenSocket(session);
  ConnectServer(session);
  return !session.IsAborted();
}

void LogLine(NetSession& session, std::string_view text, core::LineKind kind) {
  session.NoteLoggedLine(text);
  if (session.log_suspended()) {
    session.logger.front_end().AppendLine(session.side, text.substr(0, core::kMaxLogLine), kind);
  } else {
    session.logger.LogLine(session.side, text, kind);
  }
}

}  // namespace kestrel::net
