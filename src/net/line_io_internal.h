// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The line reader under the reply readers: one line of a reply, and how a
// failed read ended.

#include <string>

#include "net/net_session.h"
#include "net/reply.h"

namespace kestrel::net {

struct LineRead {
  ReplyStatus status = ReplyStatus::Aborted;
  std::string text;  // when Ok: at most kMaxReplyLine characters, without CR LF
};

// Reads one line, one byte per recv so that nothing beyond it is taken; the
// text ends at its first zero byte, trailing CR and LF removed. A time-out or
// a failure sets Aborted; a close by the server sets Closed.
[[nodiscard]] LineRead ReadLine(NetSession& session);

// How the session's last read failed: TimedOut, Closed or Aborted.
[[nodiscard]] ReplyStatus FailureStatus(const NetSession& session);

}  // namespace kestrel::net
