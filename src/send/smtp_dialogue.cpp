// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/smtp_dialogue.h"

#include <chrono>
#include <ctime>
#include <thread>

#include "core/stopwatch.h"
#include "outbound/node_lock.h"
#include "outbound/small_bundle.h"
#include "platform/clock.h"
#include "send/smtp_conversation.h"
#include "send/smtp_reply.h"

namespace kestrel::send {

namespace {

using outbound::SendEntry;
using outbound::SendState;

// Slices of the pauses, so that a Stop is seen within them.
constexpr auto kPauseSlice = std::chrono::milliseconds(20);
// Connections opened again in one run after the server ended one: room for
// a hub's queue under a per-connection message limit, and no end of calls
// to a server that ends every session.
constexpr int kMaxReconnections = 50;
// Of those, in a row after a connection that took no message.
constexpr int kMaxFruitlessReconnections = 2;

}  // namespace

int SmtpConversation::FirstPending() {
  // No entry becomes Pending again: the search goes on where it stopped.
  while (next_pending_ <= list_.Count() && list_.Entry(next_pending_).State != SendState::Pending)
    ++next_pending_;
  return next_pending_ <= list_.Count() ? next_pending_ : 0;
}

void SmtpConversation::Pause(std::uint32_t milliseconds) const {
  if (milliseconds == 0) return;
  const std::int64_t until = platform::MonotonicHundredths() + (milliseconds + 9) / 10;
  while (!Aborted() && platform::MonotonicHundredths() < until) {
    std::this_thread::sleep_for(kPauseSlice);
  }
}

net::StepResult SmtpConversation::SendOneFile(FileMessage& message) {
  if (LayOut(message)) return SendLaidOut(message);
  // Text, packed netmail, a file that cannot be opened: composed as it goes.
  Envelope envelope = SendEnvelope(message, EntriesOfFile(message), std::nullopt);
  while (envelope.ended && Reopen().ok()) {
    envelope = SendEnvelope(message, EntriesOfFile(message), std::nullopt);
  }
  if (envelope.ended) return net::StepResult::Of(session_);
  // Every recipient refused: nothing goes, the entries stay listed on disk.
  if (envelope.accepted == 0 && !Aborted()) return net::StepResult::Ok();
  if (!envelope.data_ready) return net::FailStep(session_, "-- Error sending aborting!");
  boundary_ = DrawBoundaryNumber();
  net::StepResult sent = net::StepResult::Ok();
  {
    const net::SuspendedLog quiet(session_);
    sent = SendMessageText(message, envelope);
    // Data cut off must not be ended: the server would take it for whole.
    if (sent.ok()) SendClosing(sink_, boundary_);
  }

  progress_.ShowMessageDone(message.file_size_text);
  // Data cut off has no answer to wait for; it is judged as a failed one.
  const net::Reply reply = sent.ok() ? AwaitConfirmation() : net::Reply{};

  if (message.unable_to_open) {
    Log("-- Unable to open " + FileOf(message, message.current));
    session_.NoteShortfall(FileOf(message, message.current));
  } else if (Judge(message, reply) == Outcome::Confirmed) {
    return Confirm(message, envelope);
  }
  DropPacket(message);
  return net::StepResult::Of(session_);
}

// After the server ended the session (a 421, a close, its limit of
// messages): a new connection, within the run's bounds.
net::StepResult SmtpConversation::Reopen() {
  ended_ = false;
  if (Aborted()) return net::StepResult::Of(session_);
  fruitless_ = session_messages_ > 0 ? 0 : fruitless_ + 1;
  if (++reconnections_ > kMaxReconnections || fruitless_ > kMaxFruitlessReconnections) {
    return net::FailStep(session_, "-- The server ended the session (" + ended_why_ +
                                       "), no more connections in this run");
  }
  if (ended_open_ && !session_.closed()) {
    net::SendLine(session_, "QUIT");
    (void)ReadSmtpReply(session_);
  }
  Log("-- The server ended the session (" + ended_why_ + "), connecting again");
  if (!net::Reconnect(session_)) return net::StepResult::Of(session_);
  offer_ = OpenSmtpConversation(session_, configuration_);
  needs_reset_ = false;
  session_messages_ = 0;
  return net::StepResult::Of(session_);
}

net::StepResult SmtpConversation::Run() {
  // Unreadable, the record counts as empty: a file queued again may then
  // carry an identifier it had before, as a retry would.
  if (const auto failure = identity_.Load()) Log(*failure);
  if (const auto failure = learned_.Load(std::time(nullptr))) Log(*failure);
  offer_ = OpenSmtpConversation(session_, configuration_);

  entries_counter_ = 0;
  progress_.StartRun(list_.TotalBytes, list_.Count());
  const core::Stopwatch connected;

  // A Stop from another thread ends the run between files too.
  for (int current = FirstPending(); current != 0 && !Aborted() && !give_up_;
       current = FirstPending()) {
    if (ended_ && !Reopen().ok()) break;
    progress_.ClearFile();
    FileMessage message;
    message.current = current;
    SendEntry& entry = list_.Entry(current);
    if (const auto small = outbound::SmallBundleName(entry, configuration_.MINIMUMMAIL)) {
      Log("--   Minimum mail size found skipping (" + *small + ")");
      entry.State = SendState::Skipped;
      continue;
    }
    if (configuration_.BusyFiles &&
        !message.lock.Take(list_, current, configuration_.BSYAGE,
                           [this](const std::string& line) { Log(line); })) {
      entry.State = SendState::Skipped;
      continue;
    }
    if (!SendOneFile(message).ok()) break;
  }

  Log("-- We were connected for " + std::to_string(connected.ElapsedSeconds()) + " seconds");
  if (progress_.speed_count() > 0) {
    Log("-- Total speed for " + std::to_string(progress_.speed_count()) + " files was " +
        std::to_string(progress_.average_speed()) + " CPS");
  }
  progress_.EndRun();
  // Nothing more goes to a server that said it ends the session.
  if (ended_ && !ended_open_) return net::StepResult::Of(session_);
  net::SendLine(session_, "QUIT");
  (void)ReadSmtpReply(session_);
  return net::StepResult::Of(session_);
}

net::Endpoint SmtpEndpoint(const config::Configuration& configuration) {
  return {configuration.HOST, configuration.SMTPPORT, "smtp", kDefaultSmtpPort,
          configuration.NETTIMEOUT};
}

net::StepResult SmtpDialogue(net::NetSession& session, outbound::SendList& list,
                             const config::Configuration& configuration) {
  return SmtpConversation(session, list, configuration).Run();
}

}  // namespace kestrel::send
