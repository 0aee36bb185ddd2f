// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/start_tls.h"

#include "net/bounded_wait_internal.h"
#include "net/connection_state_internal.h"
#include "net/host_part.h"
#include "net/tls_transport.h"

namespace kestrel::net {

using internal::StateOf;

namespace {

// The handshake shows the countdown after 3 quiet seconds, the indicator after 2.
constexpr internal::WaitDisplay kHandshakeWait{3, 2};

void Refuse(NetSession& session, const std::string& why) {
  LogAndAbort(session, ("-- TLS failed: " + why).substr(0, core::kMaxLogLine));
}

}  // namespace

bool StartTls(NetSession& session, const std::string& ca_file) {
  if (session.IsAborted()) return false;
  if (!StateOf(session).transport || StateOf(session).socket.get() < 0) {
    Refuse(session, "no connection");
    return false;
  }
  if (!StateOf(session).output.empty()) {
    Refuse(session, "data queued before the handshake");
    return false;
  }
  if (StateOf(session).transport->HasPendingInput() || HasBufferedInput(session)) {
    Refuse(session, "the server sent data before the handshake");
    return false;
  }
  std::string error;
  std::unique_ptr<TlsTransport> tls = TlsTransport::Create(
      StateOf(session).socket.get(), HostPart(session.server_host()), ca_file, error);
  if (!tls) {
    Refuse(session, error);
    return false;
  }
  LogLine(session, "-- Starting TLS");
  internal::BoundedWait wait(session, kHandshakeWait);
  for (;;) {
    const IoResult step = tls->Handshake();
    if (step.status == IoResult::Status::Done) break;
    if (step.status != IoResult::Status::WouldBlock) {
      Refuse(session, tls->FailureText());
      return false;
    }
    if (wait.WaitFor(StateOf(session).socket.get(), step.wait_for) == 0) {
      if (wait.timed_out())
        Refuse(session, "handshake timed out");
      else
        session.Abort(kStoppedReason);  // the wait ends early only when aborted
      return false;
    }
  }
  LogLine(session, "<- TLS " + tls->Description());
  StateOf(session).transport = std::move(tls);
  return true;
}

}  // namespace kestrel::net
