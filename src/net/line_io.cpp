// SPDX-License-Identifier: GPL-2.0-or-later
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "net/bounded_wait_internal.h"
#include "net/command_limit.h"
#include "net/connection_state_internal.h"
#include "net/line_io_internal.h"
#include "net/net_session.h"
#include "net/transport.h"
#include "platform/error_text.h"

namespace kestrel::net {

using internal::StateOf;

namespace {

using internal::BoundedWait;
using internal::WaitDisplay;

// Line operations show the countdown only after 3 quiet seconds and the
// waiting indicator after 2, so that quick exchanges do not flicker.
constexpr WaitDisplay kLineWait{3, 2};
// The read of a line that has begun shows every second.
constexpr WaitDisplay kLineReadWait{0, 2};
// Bytes asked of the connection at once for replies: many lines of a list
// arrive in one read instead of one read per byte.
constexpr std::size_t kInputChunk = 16 * 1024;

void EchoCommand(NetSession& session, std::string_view text) {
  if (!session.log_suspended() && session.logger().IsOpen(session.side())) {
    LogLine(session, "-> " + std::string(text));
  }
}

// The first failure of a connection is logged with its reason; what follows
// from it is not.
void Fail(NetSession& session, int error) {
  StateOf(session).last_error = error;
  session.MarkClosed();
  if (!session.IsAborted())
    LogAndAbort(session, "-- Connection lost (" + platform::ErrorText(error) + ")");
}

void TimeOut(NetSession& session) {
  session.MarkTimedOut();
  if (!session.IsAborted()) {
    LogAndAbort(session, "-- No answer from the server for " +
                             std::to_string(session.net_timeout()) + " seconds (NETTIMEOUT)");
  }
}

// A server that sends more, or longer, than a reply can be.
void OverBudget(NetSession& session, const std::string& what) {
  if (!session.IsAborted()) LogAndAbort(session, "-- " + what);
}

// A send or receive that fails because the server closed or reset the
// connection: a close like any other.
bool IsPeerGone(int error) {
  return error == EPIPE || error == ECONNRESET;
}

void ClosedByServer(NetSession& session) {
  if (!session.closed() && !session.IsAborted()) {
    LogLine(session, "-- Connection closed by the server");
  }
  session.MarkClosed();
}

// Sends the whole output buffer under one bounded wait.
// Nothing goes to a connection the server closed: the next read tells the
// dialogue so.
void SendOutput(NetSession& session) {
  internal::ConnectionState& state = StateOf(session);
  if (state.output.empty()) return;
  if (session.closed()) {
    state.output.clear();
    return;
  }
  if (!state.transport) {
    session.Abort("No connection");
    return;
  }
  BoundedWait wait(session, kLineWait);
  std::size_t position = 0;
  while (position < state.output.size() && !session.IsAborted()) {
    const IoResult result =
        state.transport->Send(state.output.data() + position, state.output.size() - position);
    if (result.status == IoResult::Status::Done) {
      position += result.count;
    } else if (result.status == IoResult::Status::WouldBlock) {
      if (wait.WaitFor(state.transport->Descriptor(), result.wait_for) == 0 && wait.timed_out()) {
        TimeOut(session);
      }
    } else if (IsPeerGone(result.error)) {
      // The server closed first: its last words are still to be read.
      ClosedByServer(session);
      break;
    } else {
      Fail(session, result.error);
    }
  }
  state.output.clear();
}

// Waits until the transport can deliver input; false on Stop or time-out
// (time-out sets Aborted).
bool WaitForInput(NetSession& session, BoundedWait& wait, short wanted) {
  internal::ConnectionState& state = StateOf(session);
  while (!session.IsAborted()) {
    if (state.transport->HasPendingInput()) return true;
    if (wait.WaitFor(state.transport->Descriptor(), wanted) != 0) return true;
    if (wait.timed_out()) {
      TimeOut(session);
      return false;
    }
  }
  return false;
}

}  // namespace

void SendLine(NetSession& session, std::string_view text) {
  SendLine(session, text, CommandLimit(session));
}

void SendLine(NetSession& session, std::string_view text, std::size_t limit) {
  if (session.IsAborted() || !FitsCommandLine(session, text, limit)) return;
  EchoCommand(session, text);
  StateOf(session).output.append(text);
  StateOf(session).output.append("\r\n");
  SendOutput(session);
}

void QueueLine(NetSession& session, std::string_view text) {
  if (session.IsAborted()) return;
  text = text.substr(0, kMaxDataLine);
  EchoCommand(session, text);
  StateOf(session).output.append(text);
  StateOf(session).output.append("\r\n");
  if (StateOf(session).output.size() >= kOutputBufferBytes) SendOutput(session);
}

void QueueLines(NetSession& session, std::string_view lines) {
  if (session.IsAborted()) return;
  StateOf(session).output.append(lines);
  if (StateOf(session).output.size() >= kOutputBufferBytes) SendOutput(session);
}

void FlushOutput(NetSession& session) {
  if (session.IsAborted()) return;
  SendOutput(session);
}

ReplyStatus FailureStatus(const NetSession& session) {
  if (session.timed_out()) return ReplyStatus::TimedOut;
  if (session.closed()) return ReplyStatus::Closed;
  return ReplyStatus::Aborted;
}

ReadBudget::ReadBudget(const ReadBounds& bounds) : bounds_(bounds), left_(bounds.max_bytes) {}

bool ReadBudget::Take(std::size_t bytes) {
  if (bytes > left_) {
    left_ = 0;
    return false;
  }
  left_ -= bytes;
  return true;
}

bool ReadBudget::Expired() const {
  return stopwatch_.ElapsedSeconds() >= bounds_.max_seconds;
}

LineRead ReadLine(NetSession& session, ReadBudget& budget) {
  internal::ConnectionState& state = StateOf(session);
  if (session.IsAborted()) return {FailureStatus(session), {}};
  SendOutput(session);
  if (session.IsAborted() || !state.transport) return {FailureStatus(session), {}};

  std::string line;
  bool complete = false;
  std::optional<BoundedWait> wait;
  while (!complete && !session.IsAborted()) {
    if (state.input_position < state.input.size()) {
      const char* const begin = state.input.data() + state.input_position;
      const std::size_t available = state.input.size() - state.input_position;
      const void* lf = std::memchr(begin, '\n', available);
      const std::size_t taken =
          lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - begin) + 1 : available;
      if (!budget.Take(taken)) {
        OverBudget(session, "Reply longer than " + std::to_string(budget.bounds().max_bytes) +
                                " bytes, aborting");
        break;
      }
      const std::size_t text = lf ? taken - 1 : taken;
      if (line.size() < kMaxReplyLine) {
        line.append(begin, std::min(text, kMaxReplyLine - line.size()));
      }  // else: beyond the line buffer, dropped up to the line end
      state.input_position += taken;
      complete = lf != nullptr;
      continue;
    }
    if (budget.Expired()) {
      OverBudget(session, "Reply not complete within " +
                              std::to_string(budget.bounds().max_seconds) + " seconds, aborting");
      break;
    }
    state.input.resize(kInputChunk);
    state.input_position = 0;
    const IoResult result = state.transport->Receive(state.input.data(), kInputChunk);
    state.input.resize(result.status == IoResult::Status::Done ? result.count : 0);
    if (result.status == IoResult::Status::Done) {
      if (wait) wait->Restart();
    } else if (result.status == IoResult::Status::Closed ||
               (result.status == IoResult::Status::Failed && IsPeerGone(result.error))) {
      ClosedByServer(session);
      break;
    } else if (result.status == IoResult::Status::Failed) {
      // The connection is gone (reset): waiting on would only time out.
      Fail(session, result.error);
    } else {
      if (!wait) wait.emplace(session, line.empty() ? kLineWait : kLineReadWait);
      if (!WaitForInput(session, *wait, result.wait_for)) break;
    }
  }
  if (!complete) return {FailureStatus(session), {}};
  // The text up to its first zero byte, without trailing CR and LF.
  line = line.substr(0, line.find('\0'));
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  return {ReplyStatus::Ok, std::move(line)};
}

LineRead ReadLine(NetSession& session) {
  ReadBudget budget(kReplyBounds);
  return ReadLine(session, budget);
}

std::size_t ReceiveSome(NetSession& session, char* buffer, std::size_t capacity) {
  internal::ConnectionState& state = StateOf(session);
  if (session.IsAborted() || capacity == 0) return 0;
  if (HasBufferedInput(session)) {
    const std::size_t count = std::min(capacity, state.input.size() - state.input_position);
    std::memcpy(buffer, state.input.data() + state.input_position, count);
    state.input_position += count;
    return count;
  }
  SendOutput(session);
  if (session.IsAborted() || !state.transport) return 0;
  BoundedWait wait(session, kLineWait);
  while (!session.IsAborted()) {
    const IoResult result = state.transport->Receive(buffer, capacity);
    if (result.status == IoResult::Status::Done) return result.count;
    if (result.status == IoResult::Status::Closed) {
      session.MarkClosed();
      return 0;
    }
    if (result.status == IoResult::Status::Failed) {
      Fail(session, result.error);
      return 0;
    }
    if (!WaitForInput(session, wait, result.wait_for)) return 0;
  }
  return 0;
}

void PutBack(NetSession& session, std::string_view bytes) {
  internal::ConnectionState& state = StateOf(session);
  if (bytes.empty()) return;
  state.input.erase(0, state.input_position);
  state.input.insert(0, bytes);
  state.input_position = 0;
}

bool HasBufferedInput(const NetSession& session) {
  return StateOf(session).input_position < StateOf(session).input.size();
}

}  // namespace kestrel::net
