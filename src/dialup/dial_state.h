// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The dial-up state, made once at start-up and shared by the dialling and
// hang-up routines and the run sequence.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "dialup/dial_backend.h"

namespace kestrel::dialup {

// Room of the platform's enumeration buffers.
inline constexpr std::size_t kMaxEntries = 25;
inline constexpr std::size_t kMaxConnections = 10;

// Dial events wait here until the dialling thread's wait takes them.
class DialEventQueue {
 public:
  void Push(const DialEvent& event);
  // Everything queued so far.
  [[nodiscard]] std::vector<DialEvent> Take();
  // Sleeps until an event arrives or the time is up.
  void WaitFor(int milliseconds);
  void Clear();

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<DialEvent> events_;
};

struct DialState {
  std::atomic<std::int32_t> DialResult{0};
  std::vector<std::string> Entries;
  std::vector<ActiveConnection> Connections;
  bool AlreadyOnline = false;
  std::atomic<bool> DialConnected{false};
  std::uint16_t LastShownSecond = 0;

  // Program-wide flags.
  std::atomic<bool> DialBusy{false};
  std::atomic<bool> HangUpBusy{false};
  std::atomic<bool> StopDial{false};
  std::atomic<bool> OwnConnection{false};
  std::atomic<ConnectionHandle> Connection{kNoConnection};

  DialEventQueue Events;
};

}  // namespace kestrel::dialup
