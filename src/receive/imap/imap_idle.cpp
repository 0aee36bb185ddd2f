// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/imap/imap_idle.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>

#include "core/stopwatch.h"
#include "net/input_wait.h"

namespace kestrel::receive {

namespace {

using net::Echo;
using net::InputWait;

// Lines a server may send while the job waits, in one period: a folder-wide
// flag change by another client sends one a message.
constexpr int kIdleLinePeriodSeconds = 60;
constexpr std::size_t kMaxIdleLinesPerPeriod = 10'000;

// The lines of the wait, counted by period.
class IdleLines {
 public:
  // False when this line is one too many for its period.
  bool Count() {
    if (period_.ElapsedSeconds() >= kIdleLinePeriodSeconds) {
      period_.Start();
      count_ = 0;
    }
    return ++count_ <= kMaxIdleLinesPerPeriod;
  }

 private:
  core::Stopwatch period_;
  std::size_t count_ = 0;
};

// One IDLE command, up to its DONE: true when new mail was announced.
// `wait_seconds` of silence end it.
bool IdleOnce(ImapChannel& channel, int wait_seconds, InputWait& how, IdleLines& lines) {
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
  // Untagged responses while idling: each is bounded as a reply is, and
  // only the one that brings news is logged.
  while (!news && !session.IsAborted()) {
    const int left = wait_seconds - clock.ElapsedSeconds();
    how = channel.Buffered() ? InputWait::Ready
                             : net::WaitForServer(session, std::max(left, 0) * 1000);
    if (how != InputWait::Ready) break;
    if (!lines.Count()) {
      net::LogAndAbort(session, "-- More than " + std::to_string(kMaxIdleLinesPerPeriod) +
                                    " server lines within " +
                                    std::to_string(kIdleLinePeriodSeconds) +
                                    " seconds while waiting for mail, aborting");
      break;
    }
    channel.Begin(kImapReplyBounds);
    const std::optional<ImapLine> line = channel.ReadLine(Echo::Quiet);
    if (!line) break;
    news = channel.TakeNews();
    if (news) net::LogLine(session, "<- " + line->text);
    if (!channel.SkipRestOf(*line, Echo::Quiet)) break;
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
  IdleLines lines;
  while (!session.IsAborted()) {
    const int left = seconds - clock.ElapsedSeconds();
    if (left <= 0) return false;
    InputWait how = InputWait::TimeUp;
    if (IdleOnce(channel, std::min(left, kIdleRenewSeconds), how, lines)) return true;
    if (how == InputWait::Stopped) return false;
  }
  return false;
}

}  // namespace kestrel::receive
