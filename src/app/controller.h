// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The conductor of the program: the commands (one per button), the command
// line, the tasks they start (send job, get job, dial, polling) on worker
// threads, what happens when a task ends, and the automatic shutdown.
//
// Front ends drive it: they create a FrontEnd and a UiDispatcher, then a
// Controller on their user-interface thread, call RunMail once with the
// command-line arguments, bind their buttons to the commands, and keep the
// dispatcher served (the window's event loop calls ProcessPending whenever the
// wake hook fires; the console's loop waits with WaitForWork). Workers reach
// the user-interface thread through that dispatcher alone. The controller asks
// the front end to close through the close_window hook; the front end then
// ends its loop and destroys the controller.
//
// The window front end provides, in "gui/run_window.h":
//   int kestrel::gui::RunWindow(int argc, char** argv, const app::ControllerOptions& options);
// which creates the application, the window (its FrontEnd and dispatcher), the Controller,
// calls RunMail with argv[1..] once the window is shown, runs the event loop
// until the controller closes the window, and returns the exit status from
// Controller::ExitStatus(). The program calls it when it links the window.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/jobs.h"
#include "app/ui_dispatcher.h"
#include "app/worker.h"
#include "config/configuration.h"
#include "core/front_end.h"
#include "core/log.h"
#include "core/stopwatch.h"
#include "dialup/dial_network.h"
#include "dialup/dial_state.h"
#include "oauth/login.h"
#include "outbound/send_list.h"

namespace kestrel::app {

enum class TaskKind { SendJob, GetJob, Dial, Polling };

// Process-wide run-control state; set on one thread, polled on others.
struct RunFlags {
  std::atomic<bool> SendRunning{false};
  std::atomic<bool> GetRunning{false};
  std::atomic<bool> DialRunning{false};
  std::atomic<bool> PollingRunning{false};
  std::atomic<bool> StopPolling{false};
  std::atomic<bool> Exiting{false};
  std::atomic<bool> AutoSend{false};
  std::atomic<bool> AutoGet{false};
  std::atomic<bool> AutoShutdown{false};
  std::atomic<std::uint16_t> SendInterval{0};  // seconds; 0 = no send polling
  std::atomic<std::uint16_t> GetInterval{0};
};

struct ControllerOptions {
  // The polling loop's pass; tests shorten it together with a faster clock.
  std::chrono::milliseconds poll_pass{1000};
};

// What the front end does for the controller; every hook is optional.
struct ControllerHooks {
  std::function<void()> save_def;      // store the window's position
  std::function<void()> close_window;  // end the front end's loop
  // Process the front end's own pending events inside waits of the
  // user-interface thread (the window's event loop; nothing for the console).
  std::function<void()> process_events;
  // A send or get job has ended and its run is recorded (the window's status
  // view shows it anew).
  std::function<void()> job_ended;
};

class Controller {
 public:
  // `dispatcher` belongs to the user-interface thread and outlives the
  // controller.
  Controller(core::FrontEnd& front_end, UiDispatcher& dispatcher, ControllerOptions options = {},
             std::unique_ptr<Jobs> jobs = MakeCoreJobs());
  // Stops whatever still runs (as Exit does, without closing) and waits for
  // the workers that were not abandoned.
  ~Controller();
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  void SetHooks(ControllerHooks hooks);

  // The command line (app/command_line.h), acted on once.
  void RunMail(const std::vector<std::string>& arguments);

  // The commands.
  void RunButtonClick();
  void GetOnlyClick();
  void SendButtonClick();
  void CheckButtonClick();
  void ConnectButtonClick();
  void StopGetButtonClick();
  void StopSendButtonClick();
  void HangupButtonClick();
  void ExitButtonClick();
  // The OAuth 2.0 login of every account with a provider key set, on a
  // worker; its lines go to the receiving side's pane. `open` is called on
  // this thread with each address the sysop must visit. Ignored while a login
  // runs.
  void LoginClick(oauth::OpenAddress open);
  [[nodiscard]] bool LoginRunning() const { return login_running_; }

  // Starts the polling loop on a worker: each side whose interval has passed
  // runs its command again.
  void StartPolling();

  [[nodiscard]] UiDispatcher& dispatcher() { return dispatcher_; }
  [[nodiscard]] core::Logger& logger() { return logger_; }
  [[nodiscard]] core::FrontEnd& front_end() { return front_end_; }
  [[nodiscard]] RunFlags& flags() { return flags_; }
  [[nodiscard]] dialup::DialState& dial_state() { return dial_state_; }
  [[nodiscard]] std::string ConfigFileName() const;

  // True once the controller has asked the front end to close.
  [[nodiscard]] bool CloseRequested() const { return close_requested_; }
  // True while any task runs.
  [[nodiscard]] bool AnyTaskRunning() const;
  // The run's outcome for the process: 2 when a configuration was unusable
  // (or a list build met a malformed address); else 1 when a job aborted,
  // something due could not be sent or saved, or a dial failed; else 0.
  [[nodiscard]] int ExitStatus() const;
  // True when Exit had to leave workers running; the process must then end
  // without waiting for them.
  [[nodiscard]] bool WorkersAbandoned() const { return worker_.HasAbandonedWorkers(); }

  // Processes the user-interface thread's pending work once (no-op elsewhere).
  void ProcessMessages();
  // While `condition` holds, for at most `passes` passes: sleep 10 ms, then
  // process pending work.
  void PumpedWait(const std::function<bool()>& condition, int passes);

 private:
  // The tasks, each handed to a worker with what it works on. A side's job
  // does not start while one of it runs.
  void StartSendJob(config::Configuration configuration, outbound::SendList list);
  void StartGetJob(config::Configuration configuration);
  // Dials with `configuration` and waits, serving this thread, until the
  // connection is up, the dial is stopped or it has failed.
  void StartDial(config::Configuration configuration);
  // Runs `task` on a worker as the task `kind` (whose running flag is set);
  // false when no worker could start: the flag is cleared, the reason logged.
  bool StartTask(TaskKind kind, std::function<void()> task);
  // Where a job runs: its outcome is noted, then it is no longer reachable.
  void RunJob(const std::shared_ptr<JobContext>& job);
  // On the user-interface thread once a task's worker has ended.
  void TaskEnded(TaskKind kind);
  void TaskError(TaskKind kind, const std::string& message);
  std::shared_ptr<JobContext>& RunningJob(core::Side side);
  void RunPolling();
  void AutomaticShutdown();
  // A job did not do all it should: its log section ends saying so.
  void JobFailed(TaskKind kind);
  // Keeps the worse of the run's job outcomes; a job not done marks its side.
  void NoteJobOutcome(TaskKind kind, const JobOutcome& outcome);
  // "-- Done", and after a failed job the line that says so.
  void EndJobSection(core::Side side, bool job_failed);
  void CloseMainWindow();

  // Reads a side's configuration into `configuration`; false (and the run
  // counts as failed) when it is unusable.
  bool ReadSide(core::Side side, config::Configuration& configuration);
  bool BuildSendList(const config::Configuration& configuration, outbound::SendList& list,
                     ListReport report = ListReport::AsConfigured);
  // "Dial if configured": true when the command may go on.
  bool DialIfConfigured(const config::Configuration& configuration);
  // Writes the abort line, aborts the side's job and waits about 5 seconds.
  void AbortJob(core::Side side, bool close_log);
  void HangUpConnections(bool all);
  dialup::DialContext DialContextFor(config::Configuration& configuration);

  core::FrontEnd& front_end_;
  ControllerOptions options_;
  std::unique_ptr<Jobs> jobs_;
  UiDispatcher& dispatcher_;
  core::Logger logger_;
  RunFlags flags_;
  dialup::DialState dial_state_;
  ControllerHooks hooks_;

  mutable std::mutex mutex_;  // guards the fields below
  std::string config_file_name_ = "KESTREL.INI";
  // The running jobs, where the stop commands reach them.
  std::shared_ptr<JobContext> send_job_;
  std::shared_ptr<JobContext> get_job_;
  // What the filters of the running (or last) get job left on the server.
  std::optional<std::uint64_t> get_left_by_filters_;

  // Time since each side's last poll (or the end of its last job).
  core::Stopwatch send_polling_;
  core::Stopwatch get_polling_;

  std::atomic<bool> command_line_done_{false};
  std::atomic<bool> close_requested_{false};
  std::atomic<bool> login_running_{false};
  // What ExitStatusFor needs to know of the run so far.
  std::atomic<bool> configuration_failed_{false};
  std::atomic<bool> task_failed_{false};
  std::atomic<net::SessionOutcome::Kind> worst_job_{net::SessionOutcome::Kind::Done};
  // The running (or last) job of each side failed; its log section says so.
  std::atomic<bool> send_job_failed_{false};
  std::atomic<bool> get_job_failed_{false};

  // Last, so that it goes first: its end waits for the workers, which use
  // everything above.
  WinThread worker_;
};

}  // namespace kestrel::app
