// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/input_wait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "net/connection_state_internal.h"
#include "net/transport.h"

namespace kestrel::net {

using internal::StateOf;

namespace {

// A Stop sets no file descriptor: it is seen at the next wake-up.
constexpr int kSliceMs = 1000;
constexpr int kFailedPollPauseMs = 50;

}  // namespace

InputWait WaitForServer(NetSession& session, int milliseconds) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    if (session.IsAborted() || session.StopRequested() || !StateOf(session).transport) {
      return InputWait::Stopped;
    }
    if (HasBufferedInput(session) || StateOf(session).transport->HasPendingInput())
      return InputWait::Ready;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return InputWait::TimeUp;
    pollfd entries[2] = {{StateOf(session).transport->Descriptor(), POLLIN, 0},
                         {StateOf(session).wake_event.get(), POLLIN, 0}};
    const int ready = ::poll(entries, 2, static_cast<int>(std::min<long long>(left, kSliceMs)));
    if (ready > 0 && entries[0].revents != 0) return InputWait::Ready;
    if (ready < 0 && errno != EINTR) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kFailedPollPauseMs));
    }
  }
}

}  // namespace kestrel::net
