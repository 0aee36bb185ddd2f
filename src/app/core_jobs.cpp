// SPDX-License-Identifier: GPL-2.0-or-later
#include <chrono>
#include <ctime>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "app/jobs.h"
#include "net/net_session.h"
#include "outbound/build_list.h"
#include "outbound/scan_directories.h"
#include "receive/imap/imap_dialogue.h"
#include "receive/pop3/pop3_dialogue.h"
#include "receive/pop3/pop3_pace.h"
#include "send/sent_record.h"
#include "send/smtp_dialogue.h"
#include "send/untidied_record.h"

namespace kestrel::app {
namespace {

// How a stop command reaches a job's connection: the POP3 dialogue ends with
// QUIT when it can, so that what it saved is deleted on the server; the SMTP
// dialogue is cut off (its bookkeeping follows only a confirmed message).
enum class OnStop { Abort, EndGracefully };

// Runs one connection of a job where the stop commands can reach it.
JobOutcome RunConnection(JobContext& context, const net::Endpoint& endpoint, OnStop on_stop,
                         const net::Dialogue& dialogue) {
  net::NetSession session(context.side(), endpoint, context.logger());
  context.SetAbortHandler([&session, on_stop] {
    if (on_stop == OnStop::EndGracefully) {
      session.RequestStop();
    } else {
      session.Abort(net::kStoppedReason);
    }
  });
  JobOutcome outcome = net::RunSession(session, dialogue);
  context.ClearAbortHandler();
  return outcome;
}

// The sending side's record as the get job asks it, read when the job
// starts: a bounce then names the file it is about. A record that cannot be
// read names nothing.
class SentRecordLookup final : public receive::SentMessages {
 public:
  SentRecordLookup() {
    std::string error;
    (void)record_.Load(std::time(nullptr), error);
  }

  [[nodiscard]] std::optional<receive::SentMessage> Find(
      std::string_view message_id) const override {
    const send::SentRecord::Entry* entry = record_.Find(message_id);
    if (!entry) return std::nullopt;
    return receive::SentMessage{entry->path, entry->node, entry->addresses};
  }

 private:
  send::SentRecord record_;
};

// A polled IMAP job whose connection was lost while it waited for mail
// opens it again after this pause, doubled each time up to the poll interval.
constexpr int kFirstReconnectSeconds = 5;

// Sleeps in small steps; false when the job was stopped meanwhile.
bool PauseUnlessStopped(JobContext& context, int seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (context.AbortRequested()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return !context.AbortRequested();
}

// While its side polls, the IMAP get job waits in IDLE for new mail rather
// than ending; a connection lost while waiting is opened again.
JobOutcome RunImapJob(JobContext& context) {
  const config::Configuration& configuration = context.configuration();
  const int interval = context.poll_interval();
  int pause = kFirstReconnectSeconds;
  for (;;) {
    receive::ImapWaiting waiting;
    if (interval > 0) waiting.idle_seconds = std::numeric_limits<int>::max();
    const JobOutcome outcome =
        RunConnection(context, receive::ImapEndpoint(configuration), OnStop::EndGracefully,
                      [&configuration, &waiting](net::NetSession& session) {
                        const SentRecordLookup sent;
                        receive::RunImapDialogue(session, configuration, waiting, &sent);
                      });
    if (!outcome.aborted() || !waiting.idled || pause > interval) return outcome;
    context.logger().LogLine(core::Side::Receiving,
                             "-- Connection lost while waiting for mail, "
                             "opening it again in " +
                                 std::to_string(pause) + " seconds");
    if (!PauseUnlessStopped(context, pause)) return outcome;
    pause *= 2;
  }
}

// The jobs of the program, over the collection, SMTP, POP3 and IMAP parts.
class CoreJobs : public Jobs {
 public:
  ListOutcome BuildList(const config::Configuration& configuration, outbound::SendList& list,
                        core::Logger& logger, ListReport report) override {
    const outbound::Report extent =
        report == ListReport::Full ? outbound::Report::Full : outbound::Report::AsConfigured;
    send::UntidiedRecord untidied;
    const outbound::BuildOutcome outcome =
        outbound::BuildList(configuration, list, logger, extent, &untidied).outcome;
    // What an earlier run could not tidy is tidied before a send, not by the
    // report, which only reads.
    if (report == ListReport::AsConfigured && (outcome == outbound::BuildOutcome::Send ||
                                               outcome == outbound::BuildOutcome::NothingToSend))
      untidied.TidyAgain(list, configuration, logger);
    switch (outcome) {
      case outbound::BuildOutcome::Send:
        return ListOutcome::Send;
      case outbound::BuildOutcome::AddressError:
        return ListOutcome::Error;
      case outbound::BuildOutcome::NothingToSend:
      case outbound::BuildOutcome::AlreadyBuilding:
        break;
    }
    return ListOutcome::Nothing;
  }

  JobOutcome RunSendJob(JobContext& context) override {
    const config::Configuration& configuration = context.configuration();
    // The busy flags and names the job looks up beside its files are found
    // in one read of each directory, not one a message.
    const outbound::ListDirectories directories(context.send_list());
    return RunConnection(context, send::SmtpEndpoint(configuration), OnStop::Abort,
                         [&context, &configuration](net::NetSession& session) {
                           // A failure has aborted the session: its outcome says it.
                           (void)send::SmtpDialogue(session, context.send_list(), configuration);
                         });
  }

  JobOutcome RunGetJob(JobContext& context) override {
    const config::Configuration& configuration = context.configuration();
    if (!configuration.IMAPSERVER.empty()) return RunImapJob(context);
    // A poller knocks no sooner than the server said it would let it in.
    if (context.poll_interval() > 0) {
      const std::string too_soon = receive::LoginTooSoonLine(configuration);
      if (!too_soon.empty()) {
        context.logger().LogLine(core::Side::Receiving, too_soon);
        return {};
      }
    }
    return RunConnection(context, receive::Pop3Endpoint(configuration), OnStop::EndGracefully,
                         [&configuration](net::NetSession& session) {
                           const SentRecordLookup sent;
                           receive::RunPop3Dialogue(session, configuration, &sent);
                         });
  }
};

}  // namespace

std::unique_ptr<Jobs> MakeCoreJobs() {
  return std::make_unique<CoreJobs>();
}

}  // namespace kestrel::app
