// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/imap_idle.h"

#include <algorithm>

#include "core/stopwatch.h"
#include "net/input_wait.h"

namespace kestrel::receive {

namespace {

using net::Echo;
using net::InputWait;

// One IDLE command, up to its DONE: true when new mail was announced.
// `wait_seconds` of silence end it.
bool IdleOnce(ImapChannel& channel, int wait_seconds, InputWait& how) {
  net::NetSession& session = channel.session();
  const std::string tag = channel.Send("IDLE");
  const ImapResult start = channel.Finish(tag, kImapReplyBounds, Echo::Logged, {}, true);
  if (start.status != ImapStatus::Continue) {
    if (!session.IsAborted()) {
      net::LogLine(session, "-- The server refused IDLE (" + start.line + "), polling instead");
    }
    how = InputWait::Stopped;
    return false;
  }
  bool news = channel.TakeNews();
  core::Stopwatch clock;
  // Untagged lines while idling: each is bounded as a reply is.
  while (!news && !session.IsAborted()) {
    const int left = wait_seconds - clock.ElapsedSeconds();
    how = channel.Buffered() ? InputWait::Ready
                             : net::WaitForServer(session, std::max(left, 0) * 1000);
    if (how != InputWait::Ready) break;
    channel.Begin(kImapReplyBounds);
    if (!channel.ReadLine(Echo::Logged)) break;
    news = channel.TakeNews();
  }
  channel.SendContinuation("DONE", false);
  (void)channel.Finish(tag, kImapReplyBounds, Echo::Logged);
  return news || channel.TakeNews();
}

}  // namespace

bool WaitForMail(ImapChannel& channel, const ImapCapabilities& capabilities, int seconds) {
  net::NetSession& session = channel.session();
  if (!capabilities.Has("IDLE")) {
    net::LogLine(session, "-- The server offers no IDLE, polling instead");
    return false;
  }
  net::LogLine(session, "-- Waiting for new mail");
  core::Stopwatch clock;
  while (!session.IsAborted()) {
    const int left = seconds - clock.ElapsedSeconds();
    if (left <= 0) return false;
    InputWait how = InputWait::TimeUp;
    if (IdleOnce(channel, std::min(left, kIdleRenewSeconds), how)) return true;
    if (how == InputWait::Stopped) return false;
  }
  return false;
}

}  // namespace kestrel::receive
