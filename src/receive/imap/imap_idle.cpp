// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/imap/imap_idle.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>

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

// One IDLE command, up to its DONE. `wait_seconds` of silence end it;
// `how` is Stopped when the wait cannot go on (IDLE refused, Stop).
MailWait IdleOnce(ImapChannel& channel, int wait_seconds, InputWait& how, IdleLines& lines) {
  net::NetSession& session = channel.session();
  const std::string tag = channel.Send("IDLE");
  const ImapResult start = channel.Finish(tag, kImapReplyBounds, Echo::Logged, {}, true);
  if (start.status != ImapStatus::Continue) {
    how = InputWait::Stopped;
    net::StepResult answered = net::StepResult::Of(session);
    if (answered.ok()) {
      net::LogLine(session, "-- The server refused IDLE (" + start.line + "), polling instead");
    }
    return {false, std::move(answered)};
  }
  bool news = channel.TakeNews();
  core::Stopwatch clock;
  // Untagged responses while idling: each is bounded as a reply is, and
  // only the one that brings news is logged. A failed read ends the loop.
  while (!news) {
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
  return {news || channel.TakeNews(), net::StepResult::Of(session)};
}

}  // namespace

MailWait WaitForMail(ImapChannel& channel, const ImapCapabilities& capabilities, int seconds) {
  net::NetSession& session = channel.session();
  if (!capabilities.Has("IDLE")) {
    net::LogLine(session, "-- The server offers no IDLE, polling instead");
    return {};
  }
  net::LogLine(session, "-- Waiting for new mail");
  core::Stopwatch clock;
  IdleLines lines;
  for (;;) {
    const int left = seconds - clock.ElapsedSeconds();
    if (left <= 0) return {};
    InputWait how = InputWait::TimeUp;
    MailWait once = IdleOnce(channel, std::min(left, kIdleRenewSeconds), how, lines);
    if (once.news || !once.step.ok() || how == InputWait::Stopped) return once;
  }
}

}  // namespace kestrel::receive
