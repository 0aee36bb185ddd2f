// SPDX-License-Identifier: GPL-2.0-or-later
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "net/bounded_wait_internal.h"
#include "net/connection_state_internal.h"

namespace kestrel::net::internal {

namespace {

// A poll that fails (not interrupted) is not retried at once.
constexpr int kFailedPollPause = 50;

}  // namespace

void ShowCountdown(NetSession& session, std::int32_t seconds_left) {
  session.logger().front_end().SetField(core::CountdownField(session.side()),
                                        std::to_string(seconds_left));
  StateOf(session).countdown_shown = true;
}

void ClearCountdown(NetSession& session) {
  if (!StateOf(session).countdown_shown) return;
  session.logger().front_end().SetField(core::CountdownField(session.side()), "");
  StateOf(session).countdown_shown = false;
}

void SetIndicator(NetSession& session, bool waiting) {
  if (StateOf(session).indicator_shown == waiting) return;
  session.logger().front_end().SetWaitingIndicator(session.side(), waiting);
  StateOf(session).indicator_shown = waiting;
}

BoundedWait::BoundedWait(NetSession& session, WaitDisplay display)
    : session_(session), display_(display) {
  Restart();
}

BoundedWait::~BoundedWait() {
  ClearCountdown(session_);
  if (checked_indicator_) SetIndicator(session_, false);
}

void BoundedWait::Restart() {
  stopwatch_.Start();
  StateOf(session_).last_shown_second = 0;
}

bool BoundedWait::Expired() {
  const std::int32_t elapsed = stopwatch_.ElapsedSeconds();
  if (elapsed > session_.net_timeout()) {
    timed_out_ = true;
    return true;
  }
  if (display_.countdown_after >= 0 && elapsed > display_.countdown_after &&
      elapsed != StateOf(session_).last_shown_second) {
    StateOf(session_).last_shown_second = static_cast<std::uint16_t>(elapsed);
    ShowCountdown(session_, session_.net_timeout() - elapsed);
  }
  if (display_.indicator_after >= 0 && elapsed > display_.indicator_after && !checked_indicator_) {
    checked_indicator_ = true;
    SetIndicator(session_, true);
  }
  return false;
}

short BoundedWait::WaitFor(int fd, short events) {
  for (;;) {
    if (session_.StopGraceOver()) session_.Abort(kStoppedReason);
    if (session_.IsAborted() || Expired()) return 0;
    // The second entry wakes the wait when Abort() is called; otherwise the
    // wait sleeps until the countdown's next second, so a silent server costs
    // one wake-up a second.
    pollfd entries[2] = {{fd, events, 0}, {StateOf(session_).wake_event.get(), POLLIN, 0}};
    const int ready = ::poll(entries, 2, stopwatch_.MillisecondsToNextSecond());
    if (ready > 0) {
      // Errors and hang-ups count as ready: the next send or recv tells which.
      if (entries[0].revents & (events | POLLERR | POLLHUP | POLLNVAL)) return entries[0].revents;
    } else if (ready < 0 && errno != EINTR) {
      // poll itself failing would spin; sleep instead.
      std::this_thread::sleep_for(std::chrono::milliseconds(kFailedPollPause));
    }
  }
}

int BoundedWait::WaitForAny(std::vector<pollfd>& entries, int limit_ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  for (;;) {
    if (session_.StopGraceOver()) session_.Abort(kStoppedReason);
    if (session_.IsAborted() || Expired()) return 0;
    int slice = stopwatch_.MillisecondsToNextSecond();
    if (limit_ms >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return 0;
      slice = std::min<int>(slice, static_cast<int>(left));
    }
    // The wake-up entry goes last and is taken off again before returning.
    entries.push_back({StateOf(session_).wake_event.get(), POLLIN, 0});
    const int ready = ::poll(entries.data(), entries.size(), slice);
    entries.pop_back();
    int reported = 0;
    for (const pollfd& entry : entries) reported += entry.revents != 0;
    if (reported > 0) return reported;
    if (ready < 0 && errno != EINTR) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kFailedPollPause));
    }
  }
}

}  // namespace kestrel::net::internal
