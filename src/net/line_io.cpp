#include <cctype>
#include <string>
#include <vector>

#include "net/bounded_wait_internal.h"
#include "net/net_session.h"
#include "net/transport.h"

namespace kestrel::net {

namespace {

using internal::BoundedWait;
using internal::WaitDisplay;

// Line operations show the countdown only after 3 quiet seconds and the
// waiting indicator after 2, so that quick exchanges do not flicker.
constexpr WaitDisplay kLineWait{3, 2};
// The read of a line that has begun shows every second.
constexpr WaitDisplay kLineReadWait{0, 2};

void EchoCommand(NetSession& session, std::string_view text) {
  if (!session.LogSuspended && session.logger.IsOpen(session.side)) {
    LogLine(session, "-> " + std::string(text));
  }
}

void Fail(NetSession& session, int error) {
  session.LastError = static_cast<std::uint16_t>(error);
  session.Abort();
}

// Sends the whole output buffer under one bounded wait.
void SendOutput(NetSession& session) {
  if (session.output.empty()) return;
  if (!session.transport) {
    session.Abort();
    return;
  }
  BoundedWait wait(session, kLineWait);
  std::size_t position = 0;
  while (position < session.output.size() && !session.IsAborted()) {
    const IoResult result =
        session.transport->Send(session.output.data() + position, session.output.size() - position);
    if (result.status == IoResult::Status::Done) {
      position += result.count;
    } else if (result.status == IoResult::Status::WouldBlock) {
      if (wait.WaitFor(session.transport->Descriptor(), result.wait_for) == 0 && wait.timed_out()) {
        session.Abort();
      }
    } else {
      Fail(session, result.error);
    }
  }
  session.output.clear();
}

// Waits until the transport can deliver input; false on Stop or time-out
// (time-out sets Aborted).
bool WaitForInput(NetSession& session, BoundedWait& wait, short wanted) {
  while (!session.IsAborted()) {
    if (session.transport->HasPendingInput()) return true;
    if (wait.WaitFor(session.transport->Descriptor(), wanted) != 0) return true;
    if (wait.timed_out()) {
      session.Abort();
      return false;
    }
  }
  return false;
}

bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

void SendLine(NetSession& session, std::string_view text) {
  if (session.IsAborted()) return;
  text = text.substr(0, kMaxCommandLine);
  EchoCommand(session, text);
  session.output.append(text);
  session.output.append("\r\n");
  SendOutput(session);
}

void QueueLine(NetSession& session, std::string_view text) {
  if (session.IsAborted()) return;
  text = text.substr(0, kMaxDataLine);
  EchoCommand(session, text);
  session.output.append(text);
  session.output.append("\r\n");
  if (session.output.size() >= kOutputBufferBytes) SendOutput(session);
}

void FlushOutput(NetSession& session) {
  if (session.IsAborted()) return;
  SendOutput(session);
}

std::string ReadLine(NetSession& session) {
  if (session.IsAborted()) return {};
  SendOutput(session);
  if (session.IsAborted() || !session.transport) return {};

  {
    BoundedWait wait(session, kLineWait);
    if (!WaitForInput(session, wait, POLLIN)) return {};
  }
  session.Readable = true;

  // One byte per recv: nothing beyond the line end leaves the socket.
  BoundedWait wait(session, kLineReadWait);
  session.Readable = false;
  std::string line;
  bool complete = false;
  while (!complete && !session.IsAborted()) {
    char byte = 0;
    const IoResult result = session.transport->Receive(&byte, 1);
    if (result.status == IoResult::Status::Done) {
      if (byte == '\n') {
        complete = true;
      } else if (line.size() < kMaxReplyLine) {
        line.push_back(byte);
      }  // else: beyond the line buffer, dropped up to the line end
    } else if (result.status == IoResult::Status::Closed) {
      session.Closed = true;
      break;
    } else if (result.status == IoResult::Status::Failed) {
      // The connection is gone (reset): waiting on would only time out.
      Fail(session, result.error);
    } else if (!WaitForInput(session, wait, result.wait_for)) {
      break;
    }
  }
  if (!complete) return {};
  // The text up to its first zero byte, without trailing CR and LF.
  line = line.substr(0, line.find('\0'));
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  CheckReply(session, line);
  return line;
}

void CheckReply(NetSession& session, std::string_view line) {
  if (!session.IsSending) return;
  const bool continuation = line.size() >= 4 && line[3] == '-';
  // 334 is the server's next AUTH challenge, part of a login that goes well.
  const bool positive = line.size() >= 3 && (line[0] == '2' || line.substr(0, 3) == "354" ||
                                             line.substr(0, 3) == "334");
  // A bare three-digit code is a complete reply as well.
  const bool bare_ok = line.size() == 3 && IsDigit(line[1]) && IsDigit(line[2]);
  if (continuation || (positive && (line.size() >= 4 || bare_ok))) return;
  LogLine(session, "<- Error! (" + std::string(line) + ")");
}

bool IsLastReplyLine(const NetSession& session, std::string_view line) {
  if (line.size() > 4 && line[3] != '-') return true;
  // "250" and "250 " are final lines too (RFC 5321 4.2).
  if (line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) &&
      (line.size() == 3 || line[3] != '-')) {
    return true;
  }
  if (!session.IsSending && (line == "+OK" || line == "-ERR")) return true;
  return false;
}

std::string ReadReply(NetSession& session) {
  const std::vector<std::string> lines = ReadReplyLines(session);
  return lines.empty() ? std::string() : lines.back();
}

std::vector<std::string> ReadReplyLines(NetSession& session) {
  std::vector<std::string> lines;
  while (!session.IsAborted()) {
    std::string line = ReadLine(session);
    LogLine(session, "<- " + line);
    const bool last = session.Closed || IsLastReplyLine(session, line);
    lines.push_back(std::move(line));
    if (last) break;
  }
  return lines;
}

std::size_t ReceiveSome(NetSession& session, char* buffer, std::size_t capacity) {
  if (session.IsAborted() || capacity == 0) return 0;
  SendOutput(session);
  if (session.IsAborted() || !session.transport) return 0;
  BoundedWait wait(session, kLineWait);
  while (!session.IsAborted()) {
    const IoResult result = session.transport->Receive(buffer, capacity);
    if (result.status == IoResult::Status::Done) return result.count;
    if (result.status == IoResult::Status::Closed) {
      session.Closed = true;
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

}  // namespace kestrel::net
