// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The line reader under the reply readers: one line of a reply, and how a
// failed read ended.

#include <string>

#include "core/stopwatch.h"
#include "net/net_session.h"
#include "net/reply.h"

namespace kestrel::net {

struct LineRead {
  ReplyStatus status = ReplyStatus::Aborted;
  std::string text;  // when Ok: at most kMaxReplyLine characters, without CR LF
};

// What is left of a reply's bounds as its lines are read.
class ReadBudget {
 public:
  explicit ReadBudget(const ReadBounds& bounds);
  [[nodiscard]] const ReadBounds& bounds() const { return bounds_; }
  // Takes `bytes` from the budget; false when they are more than is left.
  [[nodiscard]] bool Take(std::size_t bytes);
  [[nodiscard]] bool Expired() const;

 private:
  ReadBounds bounds_;
  std::uint64_t left_;
  core::Stopwatch stopwatch_;
};

// Reads one line through the session's input buffer (bytes beyond the line
// stay there for the next reader); the text keeps the first kMaxReplyLine
// characters, up to its first zero byte, trailing CR and LF removed. A
// time-out, a failure or the budget running out sets Aborted; a close by
// the server marks it closed.
[[nodiscard]] LineRead ReadLine(NetSession& session, ReadBudget& budget);
// One line within the bounds of a reply.
[[nodiscard]] LineRead ReadLine(NetSession& session);

// How the session's last read failed: TimedOut, Closed or Aborted.
[[nodiscard]] ReplyStatus FailureStatus(const NetSession& session);

}  // namespace kestrel::net
