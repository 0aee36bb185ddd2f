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

#include "net/bounded_wait_internal.h"
#include "net/resolver.h"
#include "net/transport.h"
#include "platform/clock.h"
#include "platform/error_text.h"

namespace kestrel::net {

namespace {

using internal::BoundedWait;
using internal::WaitDisplay;

// The two lines that describe the socket library after start-up.
constexpr std::string_view kLibraryDescription = "POSIX sockets (TCP/IPv4, non-blocking, poll)";
constexpr std::string_view kLibraryStatus = "Running";
// The "-> Resolving " line is cut here.
constexpr std::size_t kMaxResolvingLine = 92;
// Buffer for gethostname.
constexpr std::size_t kHostNameBuffer = 512;
// Buffer for the service look-up result.
constexpr std::size_t kServiceBuffer = 1024;

std::string DottedAddress(std::uint32_t network_order) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&network_order);
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

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
  // "name:port": only the name is looked up; the port is never used.
  const std::string name = session.ServerHost.substr(0, session.ServerHost.find(':'));
  std::string address_text;
  std::string reason = "no address for " + name;
  session.ServerAddress = ::inet_addr(name.c_str());
  if (session.ServerAddress != kNoAddress) {
    address_text = session.ServerHost;
    reason = "not an address to connect to";
  } else {
    LogLine(session, ("-> Resolving " + session.ConfiguredHost).substr(0, kMaxResolvingLine));
    std::optional<std::uint32_t> found;
    PendingResolution resolution(name);
    if (resolution.started()) {
      BoundedWait wait(session, WaitDisplay{0, -1});
      while (!resolution.Done() && !session.IsAborted() && !wait.timed_out()) {
        (void)wait.WaitFor(resolution.Descriptor(), POLLIN);
      }
      if (wait.timed_out()) {
        session.TimedOut = true;
        session.Abort();
        reason = "no answer within " + std::to_string(session.NetTimeout) + " seconds";
      } else if (!resolution.Done()) {
        reason = "stopped";
      }
      found = resolution.Done() ? resolution.Result() : std::nullopt;
      if (resolution.Done() && !found) session.Abort();
    }
    // A refused request, a failure, a time-out or a Stop all come out as 0.0.0.0.
    address_text = DottedAddress(found.value_or(0));
    session.ServerAddress = ::inet_addr(address_text.c_str());
    if (session.ServerAddress == kNoAddress) session.Abort();
  }
  LogLine(session, "<- Server IP-address: " + address_text);
  if (address_text == "0.0.0.0") {
    LogLine(session, "-- Could not resolve hostname, aborting (" + reason + ")");
    session.Abort();
  }
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
  session.Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (session.Socket < 0) session.LastError = errno;
  LogLine(session, "<- Socket " + std::to_string(session.Socket));
}

void ConnectServer(NetSession& session) {
  if (session.IsAborted()) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(session.Port);
  address.sin_addr.s_addr = session.ServerAddress;
  LogLine(session, "-- Connecting");
  if (session.Socket < 0) {
    session.Abort();
    LogLine(session, "-- Could not connect (" + platform::ErrorText(session.LastError) + ")");
    return;
  }
  bool connected = false;
  if (::connect(session.Socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    connected = true;
  } else if (errno != EINPROGRESS && errno != EINTR) {
    session.LastError = errno;
    session.Abort();
    LogLine(session, "-- Could not connect (" + platform::ErrorText(session.LastError) + ")");
    return;
  } else {
    BoundedWait wait(session, WaitDisplay{0, -1});
    const short events = wait.WaitFor(session.Socket, POLLOUT);
    if (events != 0) {
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(session.Socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
      if (error == 0) {
        connected = true;
      } else {
        // A refused connection ends here at once, not after NETTIMEOUT.
        session.LastError = error;
        session.Abort();
        LogLine(session, "-- Could not connect (" + platform::ErrorText(error) + ")");
      }
    } else if (wait.timed_out()) {
      session.TimedOut = true;
      session.Abort();
      LogLine(session, "-- Could not connect (no answer within " +
                           std::to_string(session.NetTimeout) + " seconds)");
    }
  }
  if (connected) {
    // Message data leaves in large writes; Nagle would hold back the tail of
    // each one until the previous segment is acknowledged.
    const int on = 1;
    (void)::setsockopt(session.Socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    session.transport = std::make_unique<PlainTransport>(session.Socket);
  }
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
  Aborted.store(true);
  if (wake_event >= 0) {
    const std::uint64_t one = 1;
    (void)!::write(wake_event, &one, sizeof one);
  }
}

void NetSession::RequestStop() {
  stop_requested_at_ = platform::MonotonicHundredths();
  if (InMessageData) Abort();
}

bool NetSession::StopGraceOver() const {
  const std::int64_t at = stop_requested_at_.load();
  return at >= 0 && platform::MonotonicHundredths() - at >= kStopGraceSeconds * 100;
}

void RunSession(NetSession& session, const Dialogue& dialogue) {
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
  if (session.StopRequested()) session.Abort();
  if (!session.IsAborted() && dialogue) dialogue(session);
  session.transport.reset();
  if (session.Socket >= 0) ::close(session.Socket);
  session.Socket = -1;
  internal::ClearCountdown(session);
  internal::SetIndicator(session, false);
}

void LogLine(NetSession& session, std::string_view text) {
  if (session.LogSuspended) {
    session.logger.front_end().AppendPaneLine(session.side, text.substr(0, core::kMaxLogLine));
  } else {
    session.logger.LogLine(session.side, text);
  }
}

}  // namespace kestrel::net
