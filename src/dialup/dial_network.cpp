// SPDX-License-Identifier: GPL-2.0-or-later
#include "dialup/dial_network.h"

#include <string>
#include <thread>

#include "core/front_end.h"
#include "core/stopwatch.h"

namespace kestrel::dialup {
namespace {

using core::Side;

// Turns of 10 ms a second caller waits for a running routine to finish.
constexpr int kBusyWaitTurns = 300;
constexpr int kBusyWaitTurnMs = 10;
// Pass of the connect and busy-pause waits.
constexpr int kDialWaitPassMs = 100;
// Pause after the connection is up, before the connect window is sought.
constexpr auto kSettleAfterConnect = std::chrono::milliseconds(1000);
// Captions longer than this are cut to kCaptionCut characters and "...".
constexpr std::size_t kMaxCaption = 29;
constexpr std::size_t kCaptionCut = 28;
// CONNECTTXT holds at most this many characters.
constexpr std::size_t kMaxConnectText = 30;

void Log(DialContext& context, const std::string& line) {
  context.logger.LogLine(Side::Receiving, line);
}

void Process(DialContext& context) {
  if (context.process_messages) context.process_messages();
}

// The dial-event handling: the first connected state sticks; an error code is
// kept whatever the state.
void TakeDialEvents(DialContext& context) {
  DialState& state = context.state;
  for (const DialEvent& event : state.Events.Take()) {
    if (!state.DialConnected) state.DialConnected = (event.state == kStateConnected);
    if (event.error != 0) state.DialResult = event.error;
  }
}

// Waits while `busy` stays set, in turns that keep the thread's work going.
void WaitWhileBusy(DialContext& context, const std::atomic<bool>& busy) {
  for (int turn = 0; turn < kBusyWaitTurns && busy; ++turn) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kBusyWaitTurnMs));
    Process(context);
  }
}

// Counts `seconds` down in GetTimeout until `done` holds, StopDial is set or
// the seconds are exceeded; dial events are taken on every pass. The
// stopwatch is started here and keeps running afterwards.
template <typename Done>
void CountdownWait(DialContext& context, core::Stopwatch& stopwatch, int seconds, Done done) {
  DialState& state = context.state;
  core::FrontEnd& front_end = context.logger.front_end();
  stopwatch.Start();
  state.LastShownSecond = 0;
  for (;;) {
    Process(context);
    TakeDialEvents(context);
    if (done() || state.StopDial) break;
    const std::int32_t elapsed = stopwatch.ElapsedSeconds();
    if (elapsed > seconds) break;
    if (elapsed != state.LastShownSecond) {
      state.LastShownSecond = static_cast<std::uint16_t>(elapsed);
      front_end.SetField(core::Field::GetTimeout, std::to_string(seconds - elapsed));
    }
    state.Events.WaitFor(kDialWaitPassMs);
  }
  TakeDialEvents(context);
  front_end.SetField(core::Field::GetTimeout, "");
}

// The outcome before the clean-up: given up early, attempts that failed or
// were stopped, connected now or before.
enum class Outcome { GiveUp, Failed, Connected, AlreadyOnline };

Outcome DialWithBackend(DialContext& context, DialBackend& backend) {
  DialState& state = context.state;
  const config::Configuration& configuration = context.configuration;

  auto entries = backend.EnumEntries();
  if (!entries) {
    Log(context, "-- No dialup networking installed");
    return Outcome::GiveUp;
  }
  if (entries->size() > kMaxEntries) entries->resize(kMaxEntries);
  state.Entries = *entries;

  const std::size_t wanted = configuration.AUTODIAL < 1 ? 1 : configuration.AUTODIAL;
  if (wanted > state.Entries.size()) {
    Log(context, "-- AutoDial number not set correctly: " + std::to_string(wanted));
    for (std::size_t i = 0; i < state.Entries.size(); ++i) {
      Log(context, "-- " + std::to_string(i + 1) + " = " + state.Entries[i]);
    }
    return Outcome::GiveUp;
  }
  const std::string entry = state.Entries[wanted - 1];
  Log(context, "-- Dial entry: " + entry);

  auto connections = backend.EnumConnections();
  if (!connections) return Outcome::GiveUp;
  if (connections->size() > kMaxConnections) connections->resize(kMaxConnections);
  state.Connections = *connections;

  state.AlreadyOnline = false;
  for (const ActiveConnection& connection : state.Connections) {
    if (connection.entry_name == entry && connection.handle != state.Connection) {
      state.AlreadyOnline = true;
      state.Connection = connection.handle;
      break;
    }
  }
  if (state.AlreadyOnline) {
    Log(context, "-- We are already online");
    state.DialConnected = true;
    return Outcome::AlreadyOnline;
  }

  Log(context, "-- Dialling network...");
  auto params = backend.GetEntryDialParams(entry);
  if (!params) {
    Log(context, "-- Error getting dial parameters");
    state.Connection = kNoConnection;
    return Outcome::GiveUp;
  }
  params->entry_name = entry;
  if (!params->has_password) {
    params->password.clear();
    if (!backend.SetEntryDialParams(*params)) {
      Log(context, "-- Password error");
      state.Connection = kNoConnection;
      return Outcome::GiveUp;
    }
  }

  const int busy_tries = configuration.BUSYTRIES;
  int attempts = 0;
  core::Stopwatch stopwatch;
  for (;;) {
    if (attempts > 0) Log(context, "-- Redialling network...");
    ++attempts;
    state.DialResult = 0;
    state.Events.Clear();
    auto handle =
        backend.Dial(*params, [&state](const DialEvent& event) { state.Events.Push(event); });
    if (!handle) {
      HangUp(context, false, true);
      return Outcome::GiveUp;
    }
    state.Connection = *handle;
    // An error event ends the wait too: the attempt is over, and waiting out
    // CONNECTTIME would only hold up the busy retry.
    CountdownWait(context, stopwatch, configuration.CONNECTTIME,
                  [&] { return state.DialConnected || state.DialResult != 0; });

    if (state.DialResult != 0) {
      HangUp(context, false, true);
      if (state.DialResult == kErrorLineBusy && attempts < busy_tries) {
        Log(context, "-- Number was busy, retrying in " + std::to_string(configuration.BUSYPAUSE) +
                         " seconds");
        CountdownWait(context, stopwatch, configuration.BUSYPAUSE, [] { return false; });
      } else {
        state.StopDial = true;
        Log(context, "-- Could not connect");
      }
    } else if (!state.DialConnected && !state.StopDial) {
      // A connect time-out: the pending attempt is dropped before the next
      // one, so a late answer cannot leave a second line up.
      backend.HangUp(state.Connection);
      state.Connection = kNoConnection;
    }
    if (state.DialConnected || state.StopDial || attempts >= busy_tries) break;
  }
  if (!state.DialConnected && attempts >= busy_tries) state.StopDial = true;

  if (state.DialConnected && !state.StopDial) {
    Log(context,
        "-- Connected to network (" + std::to_string(stopwatch.ElapsedSeconds()) + " seconds)");
    std::this_thread::sleep_for(kSettleAfterConnect);
    state.OwnConnection = true;
    const std::string caption = ConnectWindowCaption(configuration.CONNECTTXT, entry);
    if (backend.MinimizeWindow(caption) == WindowSearch::NotFound) {
      Log(context, "-- Could not mimimize connect window");
    }
    return Outcome::Connected;
  }
  return Outcome::Failed;
}

}  // namespace

std::string ConnectWindowCaption(const std::string& connect_text, const std::string& entry_name) {
  std::string caption = connect_text.substr(0, kMaxConnectText) + entry_name;
  if (caption.size() > kMaxCaption) caption = caption.substr(0, kCaptionCut) + "...";
  return caption;
}

void DialNetwork(DialContext& context) {
  DialState& state = context.state;
  if (state.DialBusy) WaitWhileBusy(context, state.DialBusy);
  // Taken in one step: two dial tasks may get here at once.
  if (state.DialBusy.exchange(true)) return;
  if (state.Connection != kNoConnection) {
    state.DialBusy = false;
    return;
  }
  state.StopDial = false;
  state.Events.Clear();
  Outcome outcome = Outcome::GiveUp;
  {
    std::unique_ptr<DialBackend> backend = LoadDialBackend();
    if (backend) {
      outcome = DialWithBackend(context, *backend);
    } else {
      Log(context, "-- No dialup networking installed");
    }
  }
  if (outcome == Outcome::GiveUp) state.StopDial = true;
  // Failed or stopped attempts leave no line behind.
  if (outcome == Outcome::Failed && state.StopDial) HangUp(context, true);
  state.Events.Clear();
  state.DialBusy = false;
}

void HangUp(DialContext& context, bool all, bool drop_attempt) {
  DialState& state = context.state;
  if (state.HangUpBusy) {
    state.StopDial = true;
    WaitWhileBusy(context, state.HangUpBusy);
  }
  // Taken in one step: a dial task and a click may hang up at once.
  if (state.HangUpBusy.exchange(true)) return;
  state.DialConnected = false;
  if (!drop_attempt) state.StopDial = true;

  std::unique_ptr<DialBackend> backend = LoadDialBackend();
  if (backend) {
    if (all) {
      std::vector<ActiveConnection> dial_up;
      if (auto connections = backend->EnumConnections()) {
        for (const ActiveConnection& connection : *connections) {
          if (connection.dial_up && dial_up.size() < kMaxConnections) dial_up.push_back(connection);
        }
      }
      if (dial_up.empty()) Log(context, "-- No connections");
      for (const ActiveConnection& connection : dial_up) {
        Log(context, "-- Hanging up: " + connection.entry_name);
        backend->HangUp(connection.handle);
      }
    } else {
      Log(context, "-- Hanging up own connection");
      if (state.Connection != kNoConnection) backend->HangUp(state.Connection);
    }
    state.Connection = kNoConnection;
    state.OwnConnection = false;
  }
  state.HangUpBusy = false;
}

}  // namespace kestrel::dialup
