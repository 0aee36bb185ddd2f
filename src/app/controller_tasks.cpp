// SPDX-License-Identifier: GPL-2.0-or-later
// The tasks of the controller: starting them, their bodies on the worker
// threads, their ends on the user-interface thread, polling and the automatic
// shutdown.

#include <thread>

#include "app/controller.h"

namespace kestrel::app {
namespace {

// Passes (500 ms) before the dial's caller starts looking at the dial's outcome.
constexpr int kDialSettlePasses = 50;
constexpr auto kPumpPass = std::chrono::milliseconds(10);
// Passes while the dial routine finishes after the outcome is known (10 s).
constexpr int kDialFinishPasses = 1000;
// Passes of the automatic shutdown's wait for polling and dialling (5 s).
constexpr int kShutdownPasses = 500;
// Passes (1 s) of the automatic shutdown's pause before it looks at the tasks.
constexpr int kShutdownPausePasses = 100;
// The network time-out in force once the automatic shutdown has begun.
constexpr std::uint16_t kShutdownNetTimeout = 5;

std::uintptr_t ParamOf(TaskKind kind) {
  return static_cast<std::uintptr_t>(kind);
}

}  // namespace

void Controller::StartTask(TaskKind kind) {
  if (flags_.Exiting) return;
  auto spawn = [&](std::atomic<bool>& running) {
    try {
      worker_.Spawn(ParamOf(kind));
      return true;
    } catch (const WinThreadError& error) {
      // The task never started: its flag must not claim it runs.
      logger_.LogLine(kind == TaskKind::SendJob ? core::Side::Sending : core::Side::Receiving,
                      std::string("-- ") + error.what(), core::LineKind::Problem);
      running = false;
      failed_ = true;
      return false;
    }
  };
  switch (kind) {
    // A poll on the polling worker and a click on the user-interface thread
    // may start the same task at once: the flag is taken in one step.
    case TaskKind::SendJob: {
      if (flags_.SendRunning.exchange(true)) return;
      send_job_failed_ = false;
      {
        std::lock_guard guard(mutex_);
        send_job_ =
            std::make_shared<JobContext>(core::Side::Sending, pending_send_config_, logger_);
        send_job_->send_list() = pending_send_list_;
      }
      logger_.OpenLog(core::Side::Sending);
      if (!spawn(flags_.SendRunning)) logger_.CloseLog(core::Side::Sending);
      return;
    }
    case TaskKind::GetJob: {
      if (flags_.GetRunning.exchange(true)) return;
      get_job_failed_ = false;
      {
        std::lock_guard guard(mutex_);
        get_job_ =
            std::make_shared<JobContext>(core::Side::Receiving, pending_get_config_, logger_);
        get_job_->set_poll_interval(flags_.GetInterval);
      }
      logger_.OpenLog(core::Side::Receiving);
      if (!spawn(flags_.GetRunning)) logger_.CloseLog(core::Side::Receiving);
      return;
    }
    case TaskKind::Dial: {
      {
        std::lock_guard guard(mutex_);
        if (dial_config_.AUTODIAL == 0 || flags_.DialRunning.exchange(true)) return;
      }
      if (!spawn(flags_.DialRunning)) return;
      // The pause keeps the user-interface thread's work going.
      PumpedWait([] { return true; }, kDialSettlePasses);
      while (!flags_.Exiting && !dial_state_.DialConnected && !dial_state_.StopDial) {
        std::this_thread::sleep_for(kPumpPass);
        ProcessMessages();
      }
      PumpedWait([&] { return dial_state_.DialBusy && !flags_.Exiting; }, kDialFinishPasses);
      return;
    }
    case TaskKind::Polling:
      flags_.PollingRunning = true;
      spawn(flags_.PollingRunning);
      return;
  }
}

std::int32_t Controller::MyThreadProc(const WinThreadParam& info) {
  switch (static_cast<TaskKind>(info.Param)) {
    case TaskKind::SendJob:
    case TaskKind::GetJob: {
      const bool sending = static_cast<TaskKind>(info.Param) == TaskKind::SendJob;
      std::shared_ptr<JobContext> job;
      {
        std::lock_guard guard(mutex_);
        job = sending ? send_job_ : get_job_;
      }
      if (!job) return 0;
      const JobOutcome outcome = sending ? jobs_->RunSendJob(*job) : jobs_->RunGetJob(*job);
      if (outcome.aborted || outcome.incomplete) JobFailed(static_cast<TaskKind>(info.Param));
      std::lock_guard guard(mutex_);
      (sending ? send_job_ : get_job_).reset();
      return 0;
    }
    case TaskKind::Dial: {
      config::Configuration configuration;
      {
        std::lock_guard guard(mutex_);
        configuration = dial_config_;
      }
      dialup::DialContext context{dial_state_, configuration, logger_, nullptr};
      dialup::DialNetwork(context);
      std::lock_guard guard(mutex_);
      // No dialling until the configuration is read again, when asked so.
      dial_config_.AUTODIAL = configuration.AUTODIAL;
      return 0;
    }
    case TaskKind::Polling:
      RunPolling();
      return 0;
  }
  return 0;
}

std::int32_t Controller::MyThreadTerminate(const WinThreadParam& info) {
  const auto kind = static_cast<TaskKind>(info.Param);
  auto own_connection_up = [&] {
    return dial_state_.Connection != dialup::kNoConnection && dial_state_.OwnConnection;
  };
  switch (kind) {
    case TaskKind::SendJob:
      EndJobSection(core::Side::Sending, send_job_failed_);
      if (!flags_.GetRunning && own_connection_up()) HangUpConnections(false);
      logger_.CloseLog(core::Side::Sending);
      flags_.SendRunning = false;
      send_polling_.Start();
      break;
    case TaskKind::GetJob:
      EndJobSection(core::Side::Receiving, get_job_failed_);
      if (!flags_.SendRunning && own_connection_up()) HangUpConnections(false);
      logger_.CloseLog(core::Side::Receiving);
      flags_.GetRunning = false;
      get_polling_.Start();
      break;
    case TaskKind::Dial:
      flags_.DialRunning = false;
      return 0;
    case TaskKind::Polling:
      flags_.PollingRunning = false;
      flags_.StopPolling = false;
      break;
  }
  if (flags_.AutoShutdown && !flags_.SendRunning && !flags_.GetRunning) AutomaticShutdown();
  return 0;
}

void Controller::MyThreadException(const WinThreadParam& info, const std::string& message) {
  // The task's end follows as for a normal end; the reason must not vanish.
  const auto kind = static_cast<TaskKind>(info.Param);
  logger_.LogLine(kind == TaskKind::SendJob ? core::Side::Sending : core::Side::Receiving,
                  "-- Error: " + message, core::LineKind::Problem);
  JobFailed(kind);
}

void Controller::JobFailed(TaskKind kind) {
  failed_ = true;
  if (kind == TaskKind::SendJob) send_job_failed_ = true;
  if (kind == TaskKind::GetJob) get_job_failed_ = true;
}

void Controller::EndJobSection(core::Side side, bool job_failed) {
  logger_.LogLine(side, "-- Done");
  if (job_failed) {
    logger_.LogLine(side,
                    "-- Run ended with problems (exit status " + std::to_string(ExitStatus()) + ")",
                    core::LineKind::Problem);
  }
}

void Controller::AutomaticShutdown() {
  flags_.AutoShutdown = false;
  if (hooks_.save_def) hooks_.save_def();
  flags_.Exiting = true;
  flags_.StopPolling = true;
  dial_state_.StopDial = true;
  {
    std::lock_guard guard(mutex_);
    pending_send_config_.NETTIMEOUT = kShutdownNetTimeout;
    pending_get_config_.NETTIMEOUT = kShutdownNetTimeout;
  }
  logger_.LogLine(core::Side::Receiving, "-- AUTOMATIC SHUTDOWN");
  PumpedWait([] { return true; }, kShutdownPausePasses);
  PumpedWait([&] { return flags_.PollingRunning || flags_.DialRunning; }, kShutdownPasses);
  if (flags_.PollingRunning || flags_.DialRunning) worker_.Kill();
  CloseMainWindow();
}

void Controller::RunPolling() {
  struct PolledSide {
    const std::atomic<std::uint16_t>& interval;
    const std::atomic<bool>& running;
    core::Stopwatch& stopwatch;
    core::Field countdown;
    void (Controller::*command)();
    std::int32_t last_shown = 0;
  };
  PolledSide sides[] = {
      {flags_.SendInterval, flags_.SendRunning, send_polling_, core::Field::Timeout,
       &Controller::SendButtonClick},
      {flags_.GetInterval, flags_.GetRunning, get_polling_, core::Field::GetTimeout,
       &Controller::GetOnlyClick},
  };
  while (!flags_.StopPolling) {
    // The pass sleeps in small steps so that Exit is seen at once.
    const auto pass_end = std::chrono::steady_clock::now() + options_.poll_pass;
    while (!flags_.StopPolling && std::chrono::steady_clock::now() < pass_end) {
      std::this_thread::sleep_for(kPumpPass);
    }
    if (flags_.StopPolling) break;
    ProcessMessages();
    if (flags_.DialRunning) continue;
    for (PolledSide& side : sides) {
      const std::uint16_t interval = side.interval;
      if (interval == 0 || side.running) continue;
      if (side.stopwatch.ElapsedSeconds() > interval) {
        side.stopwatch.Start();
        (this->*side.command)();
        if (flags_.StopPolling) break;
      }
      const std::int32_t elapsed = side.stopwatch.ElapsedSeconds();
      if (elapsed != side.last_shown) {
        front_end_.SetField(side.countdown, std::to_string(interval - elapsed));
        side.last_shown = elapsed;
        ProcessMessages();
      }
    }
  }
}

}  // namespace kestrel::app
