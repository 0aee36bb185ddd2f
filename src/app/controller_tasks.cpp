// SPDX-License-Identifier: GPL-2.0-or-later
// The tasks of the controller: starting them, their bodies on the worker
// threads, their ends on the user-interface thread, polling and the automatic
// shutdown.

#include <algorithm>
#include <thread>

#include "app/controller.h"
#include "app/exit_status.h"
#include "core/run_record.h"

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

core::Side SideOf(TaskKind kind) {
  return kind == TaskKind::SendJob ? core::Side::Sending : core::Side::Receiving;
}

std::atomic<bool>& RunningFlag(RunFlags& flags, TaskKind kind) {
  switch (kind) {
    case TaskKind::SendJob:
      return flags.SendRunning;
    case TaskKind::GetJob:
      return flags.GetRunning;
    case TaskKind::Dial:
      return flags.DialRunning;
    case TaskKind::Polling:
      break;
  }
  return flags.PollingRunning;
}

}  // namespace

std::shared_ptr<JobContext>& Controller::RunningJob(core::Side side) {
  return side == core::Side::Sending ? send_job_ : get_job_;
}

bool Controller::StartTask(TaskKind kind, std::function<void()> task) {
  try {
    worker_.Spawn({std::move(task), [this, kind] { TaskEnded(kind); },
                   [this, kind](const std::string& message) { TaskError(kind, message); }});
    return true;
  } catch (const WinThreadError& error) {
    // The task never started: its flag must not claim it runs.
    logger_.LogLine(SideOf(kind), std::string("-- ") + error.what(), core::LineKind::Problem);
    RunningFlag(flags_, kind) = false;
    task_failed_ = true;
    return false;
  }
}

// A poll on the polling worker and a click on the user-interface thread may
// start the same job at once: the running flag is taken in one step.
void Controller::StartSendJob(config::Configuration configuration, outbound::SendList list) {
  if (flags_.Exiting || flags_.SendRunning.exchange(true)) return;
  send_job_failed_ = false;
  auto job = std::make_shared<JobContext>(core::Side::Sending, std::move(configuration), logger_,
                                          std::move(list));
  {
    std::lock_guard guard(mutex_);
    send_job_ = job;
  }
  logger_.OpenLog(core::Side::Sending);
  if (!StartTask(TaskKind::SendJob, [this, job] { RunJob(job); }))
    logger_.CloseLog(core::Side::Sending);
}

void Controller::StartGetJob(config::Configuration configuration) {
  if (flags_.Exiting || flags_.GetRunning.exchange(true)) return;
  get_job_failed_ = false;
  auto job = std::make_shared<JobContext>(core::Side::Receiving, std::move(configuration), logger_);
  job->set_poll_interval(flags_.GetInterval);
  {
    std::lock_guard guard(mutex_);
    get_job_ = job;
    get_left_by_filters_.reset();
  }
  logger_.OpenLog(core::Side::Receiving);
  if (!StartTask(TaskKind::GetJob, [this, job] { RunJob(job); }))
    logger_.CloseLog(core::Side::Receiving);
}

void Controller::StartDial(config::Configuration configuration) {
  if (flags_.Exiting || configuration.AUTODIAL == 0 || flags_.DialRunning.exchange(true)) return;
  auto dial = [this, configuration = std::move(configuration)] {
    dialup::DialContext context{dial_state_, configuration, logger_, nullptr};
    dialup::DialNetwork(context);
  };
  if (!StartTask(TaskKind::Dial, std::move(dial))) return;
  // The pause keeps the user-interface thread's work going.
  PumpedWait([] { return true; }, kDialSettlePasses);
  while (!flags_.Exiting && !dial_state_.DialConnected && !dial_state_.StopDial) {
    std::this_thread::sleep_for(kPumpPass);
    ProcessMessages();
  }
  PumpedWait([&] { return dial_state_.DialBusy && !flags_.Exiting; }, kDialFinishPasses);
}

void Controller::StartPolling() {
  if (flags_.Exiting) return;
  flags_.PollingRunning = true;
  StartTask(TaskKind::Polling, [this] { RunPolling(); });
}

void Controller::RunJob(const std::shared_ptr<JobContext>& job) {
  const bool sending = job->side() == core::Side::Sending;
  const JobOutcome outcome = sending ? jobs_->RunSendJob(*job) : jobs_->RunGetJob(*job);
  NoteJobOutcome(sending ? TaskKind::SendJob : TaskKind::GetJob, outcome);
  std::lock_guard guard(mutex_);
  if (!sending) get_left_by_filters_ = outcome.left_by_filters();
  RunningJob(job->side()).reset();
}

void Controller::TaskEnded(TaskKind kind) {
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
      if (hooks_.job_ended) hooks_.job_ended();
      break;
    case TaskKind::GetJob:
      EndJobSection(core::Side::Receiving, get_job_failed_);
      if (!flags_.SendRunning && own_connection_up()) HangUpConnections(false);
      logger_.CloseLog(core::Side::Receiving);
      flags_.GetRunning = false;
      get_polling_.Start();
      if (hooks_.job_ended) hooks_.job_ended();
      break;
    case TaskKind::Dial:
      flags_.DialRunning = false;
      return;
    case TaskKind::Polling:
      flags_.PollingRunning = false;
      flags_.StopPolling = false;
      break;
  }
  if (flags_.AutoShutdown && !flags_.SendRunning && !flags_.GetRunning) AutomaticShutdown();
}

void Controller::TaskError(TaskKind kind, const std::string& message) {
  // The task's end follows as for a normal end; the reason must not vanish.
  logger_.LogLine(SideOf(kind), "-- Error: " + message, core::LineKind::Problem);
  task_failed_ = true;
  JobFailed(kind);
}

void Controller::NoteJobOutcome(TaskKind kind, const JobOutcome& outcome) {
  const net::SessionOutcome::Kind now = outcome.kind();
  if (outcome.misconfigured()) configuration_failed_ = true;
  if (now == net::SessionOutcome::Kind::Done) return;
  // Aborted is worse than Incomplete: the order of the kinds says so.
  net::SessionOutcome::Kind worst = worst_job_.load();
  while (worst < now && !worst_job_.compare_exchange_weak(worst, now)) {
  }
  JobFailed(kind);
}

void Controller::JobFailed(TaskKind kind) {
  if (kind == TaskKind::SendJob) send_job_failed_ = true;
  if (kind == TaskKind::GetJob) get_job_failed_ = true;
}

void Controller::EndJobSection(core::Side side, bool job_failed) {
  std::optional<std::uint64_t> left_by_filters;
  if (side == core::Side::Receiving) {
    std::lock_guard guard(mutex_);
    left_by_filters = get_left_by_filters_;
  }
  (void)core::RecordRunEnd(core::RunRecordPath(), side,
                           job_failed ? std::max(ExitStatus(), kExitFailure) : kExitSuccess,
                           left_by_filters);
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
