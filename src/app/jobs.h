// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The work behind the tasks: building the send list, the send job and the get
// job. The controller runs them; the collection, sending and receiving parts
// provide them (MakeCoreJobs), and tests may provide their own.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "config/configuration.h"
#include "core/front_end.h"
#include "core/log.h"
#include "core/side.h"
#include "net/session_outcome.h"
#include "outbound/send_list.h"

namespace kestrel::app {

// One running job: what it works on and the stop command's way to reach it.
class JobContext {
 public:
  JobContext(core::Side side, config::Configuration configuration, core::Logger& logger,
             outbound::SendList send_list = {})
      : side_(side),
        configuration_(std::move(configuration)),
        send_list_(std::move(send_list)),
        logger_(logger) {}

  [[nodiscard]] core::Side side() const { return side_; }
  // The job's own copy, so that a command that re-reads the configuration
  // meanwhile does not change it under the running job.
  [[nodiscard]] config::Configuration& configuration() { return configuration_; }
  // The send job's own copy of the list it works through.
  [[nodiscard]] outbound::SendList& send_list() { return send_list_; }
  [[nodiscard]] core::Logger& logger() { return logger_; }
  [[nodiscard]] core::FrontEnd& front_end() { return logger_.front_end(); }

  // The job registers how to abort its connection (set its session's abort
  // flag) for as long as the connection exists. A stop that came earlier is
  // passed on at once.
  void SetAbortHandler(std::function<void()> handler);
  void ClearAbortHandler();
  // The stop command: marks the job aborted and aborts its connection.
  void Abort();
  [[nodiscard]] bool AbortRequested();

  // Seconds between the polls of the job's side; 0 when the side does not
  // poll. A polled IMAP get job waits for new mail instead of ending.
  void set_poll_interval(std::uint16_t seconds) { poll_interval_ = seconds; }
  [[nodiscard]] std::uint16_t poll_interval() const { return poll_interval_; }

 private:
  core::Side side_;
  config::Configuration configuration_;
  outbound::SendList send_list_;
  core::Logger& logger_;
  std::uint16_t poll_interval_ = 0;
  std::mutex mutex_;  // guards the two below
  std::function<void()> abort_handler_;
  bool abort_requested_ = false;
};

// How a job ended: its connection's outcome.
using JobOutcome = net::SessionOutcome;

// How much of the scans the list build reports.
enum class ListReport {
  AsConfigured,  // the full report unless DISABLECHECK asks for the totals only
  Full,          // the Check command: always in full
};

enum class ListOutcome {
  Send,     // at least one file worth sending
  Nothing,  // nothing to send (or another build runs)
  Error,    // the build ended in an error it has logged; the command ends
};

class Jobs {
 public:
  virtual ~Jobs() = default;
  // Empties `list`, scans the outbound, netmail and VFIDO areas into it and
  // writes the report.
  virtual ListOutcome BuildList(const config::Configuration& configuration,
                                outbound::SendList& list, core::Logger& logger,
                                ListReport report = ListReport::AsConfigured) = 0;
  // The send job: one SMTP session over context.send_list().
  virtual JobOutcome RunSendJob(JobContext& context) = 0;
  // The get job: one POP3 or IMAP session.
  virtual JobOutcome RunGetJob(JobContext& context) = 0;
};

// The real jobs of the program.
[[nodiscard]] std::unique_ptr<Jobs> MakeCoreJobs();

}  // namespace kestrel::app
