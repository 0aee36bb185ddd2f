// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/controller.h"

#include <algorithm>
#include <thread>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "config/address.h"
#include "config/read_configuration.h"
#include "core/text_utils.h"
#include "platform/program_home.h"

namespace kestrel::app {
namespace {

// A pumped wait's pass.
constexpr auto kPumpPass = std::chrono::milliseconds(10);
// Passes of the stop commands' waits: about 5 seconds.
constexpr int kStopWaitPasses = 500;
constexpr const char* kAbortLine = "-- Aborted, shutting down...";

}  // namespace

Controller::Controller(core::FrontEnd& front_end, UiDispatcher& dispatcher,
                       ControllerOptions options, std::unique_ptr<Jobs> jobs)
    : front_end_(front_end),
      options_(options),
      jobs_(std::move(jobs)),
      dispatcher_(dispatcher),
      logger_(front_end, platform::ProgramHome()),
      worker_(dispatcher_) {}

Controller::~Controller() {
  // Whatever still runs is asked to stop, as Exit does, but nothing is closed.
  flags_.Exiting = true;
  flags_.StopPolling = true;
  dial_state_.StopDial = true;
  std::shared_ptr<JobContext> send_job;
  std::shared_ptr<JobContext> get_job;
  {
    std::lock_guard guard(mutex_);
    send_job = send_job_;
    get_job = get_job_;
  }
  if (send_job) send_job->Abort();
  if (get_job) get_job->Abort();
}

void Controller::SetHooks(ControllerHooks hooks) {
  hooks_ = std::move(hooks);
}

std::string Controller::ConfigFileName() const {
  std::lock_guard guard(mutex_);
  return config_file_name_;
}

int Controller::ExitStatus() const {
  return ExitStatusFor({configuration_failed_, task_failed_, worst_job_});
}

bool Controller::AnyTaskRunning() const {
  return flags_.SendRunning || flags_.GetRunning || flags_.DialRunning || flags_.PollingRunning;
}

void Controller::ProcessMessages() {
  if (!dispatcher_.OnUserInterfaceThread()) return;
  dispatcher_.ProcessPending();
  if (hooks_.process_events) hooks_.process_events();
}

void Controller::PumpedWait(const std::function<bool()>& condition, int passes) {
  for (int pass = 0; pass < passes && condition(); ++pass) {
    std::this_thread::sleep_for(kPumpPass);
    ProcessMessages();
  }
}

void Controller::CloseMainWindow() {
  close_requested_ = true;
  if (hooks_.close_window) hooks_.close_window();
}

dialup::DialContext Controller::DialContextFor(config::Configuration& configuration) {
  return dialup::DialContext{dial_state_, configuration, logger_, [this] { ProcessMessages(); }};
}

void Controller::HangUpConnections(bool all) {
  config::Configuration configuration;
  dialup::DialContext context = DialContextFor(configuration);
  dialup::HangUp(context, all);
}

bool Controller::ReadSide(core::Side side, config::Configuration& configuration) {
  bool usable = false;
  try {
    usable = config::ReadConfiguration(side, ConfigFileName(), configuration, logger_);
  } catch (const config::ConversionError& error) {
    logger_.LogLine(side, std::string("** ") + error.what(), core::LineKind::Problem);
  }
  if (!usable) configuration_failed_ = true;
  return usable;
}

bool Controller::BuildSendList(const config::Configuration& configuration, outbound::SendList& list,
                               ListReport report) {
  ListOutcome outcome = ListOutcome::Error;
  try {
    outcome = jobs_->BuildList(configuration, list, logger_, report);
  } catch (const config::ConversionError& error) {
    logger_.LogLine(core::Side::Sending, std::string("** ") + error.what(),
                    core::LineKind::Problem);
  }
  if (outcome == ListOutcome::Error) configuration_failed_ = true;
  // Files left out, a node held for long, a file sent but not tidied.
  if (list.Problems) task_failed_ = true;
  return outcome == ListOutcome::Send;
}

bool Controller::DialIfConfigured(const config::Configuration& configuration) {
  if (configuration.AUTODIAL == 0) return true;
  StartDial(configuration);
  if (dial_state_.DialConnected) return true;
  task_failed_ = true;
  // No job runs to end with its problems: the run says so itself, after the
  // dial's own lines.
  logger_.LogLine(core::Side::Receiving,
                  "-- No connection, run ended with problems (exit status " +
                      std::to_string(ExitStatus()) + ")",
                  core::LineKind::Problem);
  return false;
}

void Controller::RunMail(const std::vector<std::string>& arguments) {
  // The window may be activated again; the command line acts once.
  if (command_line_done_.exchange(true)) return;
  ProcessMessages();
  const CommandLine line = ParseCommandLine(arguments);
  if (line.hangup) HangUpConnections(true);
  if (line.shutdown) flags_.AutoShutdown = true;
  if (line.send) flags_.AutoSend = true;
  if (line.get) flags_.AutoGet = true;
  if (line.send_interval) {
    flags_.SendInterval = *line.send_interval;
    send_polling_.Start();
  }
  if (line.get_interval) {
    flags_.GetInterval = *line.get_interval;
    get_polling_.Start();
  }
  if (line.config_file) {
    std::lock_guard guard(mutex_);
    config_file_name_ = *line.config_file;
  }
  if (line.hangup && flags_.AutoShutdown && !flags_.AutoSend && !flags_.AutoGet) {
    CloseMainWindow();
    return;
  }
  // A poller's first round is at start, not one interval later.
  const bool send = flags_.AutoSend || flags_.SendInterval != 0;
  const bool get = flags_.AutoGet || flags_.GetInterval != 0;
  if (send && get) {
    RunButtonClick();
  } else if (send) {
    SendButtonClick();
  } else if (get) {
    GetOnlyClick();
  }
  if (flags_.SendInterval != 0 || flags_.GetInterval != 0) StartPolling();
  if (CloseRequested() || flags_.Exiting) return;
  if (line.report) CheckButtonClick();
  if (line.connect) ConnectButtonClick();
}

void Controller::RunButtonClick() {
  front_end_.ClearPane(core::Side::Sending);
  front_end_.ClearPane(core::Side::Receiving);
  config::Configuration send_config;
  outbound::SendList list;
  const bool send_ok = ReadSide(core::Side::Sending, send_config);
  const bool have_files = send_ok && BuildSendList(send_config, list);
  config::Configuration get_config;
  const bool get_ok = ReadSide(core::Side::Receiving, get_config);
  bool go = true;
  // AUTODIAL is common to both sides: taken from whichever side was read.
  const config::Configuration& dial_from = get_ok ? get_config : send_config;
  if (get_ok || have_files) go = DialIfConfigured(dial_from);
  if (!go) return;
  if (have_files) StartSendJob(std::move(send_config), std::move(list));
  if (get_ok) StartGetJob(std::move(get_config));
}

void Controller::GetOnlyClick() {
  front_end_.ClearPane(core::Side::Receiving);
  config::Configuration configuration;
  if (!ReadSide(core::Side::Receiving, configuration)) return;
  if (!DialIfConfigured(configuration)) return;
  StartGetJob(std::move(configuration));
}

void Controller::SendButtonClick() {
  front_end_.ClearPane(core::Side::Sending);
  config::Configuration configuration;
  outbound::SendList list;
  if (!ReadSide(core::Side::Sending, configuration) || !BuildSendList(configuration, list)) return;
  if (!DialIfConfigured(configuration)) return;
  StartSendJob(std::move(configuration), std::move(list));
}

void Controller::CheckButtonClick() {
  front_end_.ClearPane(core::Side::Sending);
  core::CleanText(front_end_, core::Side::Sending);
  config::Configuration configuration;
  if (!ReadSide(core::Side::Sending, configuration)) return;
  outbound::SendList list;
  (void)BuildSendList(configuration, list, ListReport::Full);
}

void Controller::ConnectButtonClick() {
  config::Configuration configuration;
  if (!ReadSide(core::Side::Receiving, configuration)) return;
  if (configuration.AUTODIAL == 0) return;
  StartDial(std::move(configuration));
  if (!dial_state_.DialConnected) task_failed_ = true;
}

void Controller::AbortJob(core::Side side, bool close_log) {
  std::atomic<bool>& running = side == core::Side::Sending ? flags_.SendRunning : flags_.GetRunning;
  if (!running) return;
  logger_.LogLine(side, kAbortLine);
  std::shared_ptr<JobContext> job;
  {
    std::lock_guard guard(mutex_);
    job = RunningJob(side);
  }
  if (job) job->Abort();
  PumpedWait([&] { return running.load(); }, kStopWaitPasses);
  if (close_log) logger_.CloseLog(side);
}

void Controller::StopGetButtonClick() {
  dial_state_.StopDial = true;
  PumpedWait([&] { return flags_.DialRunning.load(); }, kStopWaitPasses);
  AbortJob(core::Side::Receiving, true);
}

void Controller::StopSendButtonClick() {
  dial_state_.StopDial = true;
  PumpedWait([&] { return flags_.DialRunning.load(); }, kStopWaitPasses);
  // The outgoing log is left to the end of the send job.
  AbortJob(core::Side::Sending, false);
}

void Controller::HangupButtonClick() {
  config::Configuration configuration;
  if (!ReadSide(core::Side::Receiving, configuration)) return;
  dial_state_.StopDial = true;
  PumpedWait([&] { return flags_.DialRunning.load(); }, kStopWaitPasses);
  AbortJob(core::Side::Sending, false);
  AbortJob(core::Side::Receiving, true);
  HangUpConnections(true);
}

void Controller::ExitButtonClick() {
  if (hooks_.save_def) hooks_.save_def();
  flags_.Exiting = true;
  dial_state_.StopDial = true;
  PumpedWait([&] { return flags_.DialRunning.load(); }, kStopWaitPasses);
  if (flags_.PollingRunning) {
    flags_.StopPolling = true;
    PumpedWait([&] { return flags_.PollingRunning.load(); }, kStopWaitPasses);
  }
  AbortJob(core::Side::Sending, true);
  AbortJob(core::Side::Receiving, true);
  if (AnyTaskRunning()) worker_.Kill();
  CloseMainWindow();
}

}  // namespace kestrel::app
