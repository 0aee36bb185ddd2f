// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The one shape of every network wait: sleep in poll() in short slices, show
// the countdown and the waiting indicator, end on readiness, Stop or time-out.

#include <poll.h>

#include <cstdint>
#include <vector>

#include "core/stopwatch.h"
#include "net/net_session.h"

namespace kestrel::net::internal {

// When a wait shows itself; -1 means never.
struct WaitDisplay {
  int countdown_after = 0;   // show the countdown once the elapsed seconds exceed this
  int indicator_after = -1;  // check the indicator once the elapsed seconds exceed this
};

class BoundedWait {
 public:
  // Starts its stopwatch and sets LastShownSecond to 0.
  BoundedWait(NetSession& session, WaitDisplay display);
  // Clears the countdown and, when this wait checked it, unchecks the indicator.
  ~BoundedWait();
  BoundedWait(const BoundedWait&) = delete;
  BoundedWait& operator=(const BoundedWait&) = delete;

  // Sleeps until `fd` reports one of `events` (returns the reported events),
  // or Aborted is set, or the time is up (both return 0). fd < 0 waits for
  // Aborted or the time-out alone.
  short WaitFor(int fd, short events);
  // Sleeps until one of `entries` reports an event (returns how many did),
  // or Aborted is set, or the time is up, or `limit_ms` has passed (all three
  // return 0; a negative limit_ms never passes). Fills the entries' revents.
  int WaitForAny(std::vector<pollfd>& entries, int limit_ms);
  // Starts the stopwatch again (a new phase of the same operation).
  void Restart();
  [[nodiscard]] bool timed_out() const { return timed_out_; }

 private:
  // Updates countdown and indicator; true when the time is up.
  bool Expired();

  NetSession& session_;
  WaitDisplay display_;
  core::Stopwatch stopwatch_;
  bool timed_out_ = false;
  bool checked_indicator_ = false;
};

// Shows or clears the side's countdown field and waiting indicator.
void ShowCountdown(NetSession& session, std::int32_t seconds_left);
void ClearCountdown(NetSession& session);
void SetIndicator(NetSession& session, bool waiting);

}  // namespace kestrel::net::internal
