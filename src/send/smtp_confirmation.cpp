// SPDX-License-Identifier: GPL-2.0-or-later
// The bookkeeping of a confirmed message: its identifier recorded, the
// mailer's files tidied, one log line per system that got it.
#include <algorithm>
#include <set>
#include <vector>

#include "outbound/record_sent.h"
#include "platform/file_names.h"
#include "platform/files.h"
#include "send/smtp_conversation.h"

namespace kestrel::send {

using outbound::SendEntry;
using outbound::SendState;

net::StepResult SmtpConversation::Confirm(FileMessage& message, const Envelope& envelope) {
  Log("-- Message sent!");
  RecordConfirmed(message, envelope);
  LogSent(message);
  DropPacket(message);
  // The record's entry goes to the disk with the first change to the
  // mailer's files, before it; or here, when nothing of theirs changed.
  const auto sync_record = [this] {
    if (const auto failure = identity_.SyncConfirmed()) Log(*failure);
  };
  const outbound::RecordResult recorded = outbound::RecordSent(
      list_, envelope.accepted, session_.logger(), configuration_, sync_record);
  sync_record();
  // A file left queued is recorded, so that no later run mails it again.
  if (const auto failure = identity_.RecordUntidied(message.message_id, list_, recorded.untidied))
    Log(*failure);
  if (recorded.not_tidied) session_.NoteShortfall(FileOf(message, message.current));
  if (recorded.io_error) {
    // The mailer's files could not be kept in step: no further message may go.
    session_.Abort(recorded.failure);
    return net::StepResult::Of(session_);
  }
  Pause(configuration_.SENDPAUSE);
  return net::StepResult::Of(session_);
}

// One line per system that got the file, for the sysop reading the log later.
void SmtpConversation::LogSent(const FileMessage& message) {
  const std::string& path = FileOf(message, message.current);
  // The entries of the file, in list order: a hub's whole list is not gone
  // through for every message.
  std::vector<int> candidates = list_.EntriesWithPath(path);
  const auto at = std::lower_bound(candidates.begin(), candidates.end(), message.current);
  if (at == candidates.end() || *at != message.current) candidates.insert(at, message.current);
  std::set<std::string> told;
  for (const int i : candidates) {
    const SendEntry& entry = list_.Entry(i);
    if (entry.State != SendState::Taken || FileOf(message, i) != path) continue;
    const config::RedirectEntry& redirect = RedirectOf(entry);
    if (!told.insert(redirect.Address + " " + redirect.EmailAddress).second) continue;
    Log("-- Sent " + entry.Path + " to " + redirect.Address + " (" + redirect.EmailAddress + "), " +
        std::to_string(message.size) + " bytes");
  }
}

// Before the message's bookkeeping, its identifier counts as confirmed: a
// kill in between sends the file again under a new identifier, a second copy
// rather than one the far side would take for a copy and drop. The file went
// either way, so a record that cannot be written is only told.
void SmtpConversation::RecordConfirmed(const FileMessage& message, const Envelope& envelope) {
  // The path as it is on disk, as a log line a month later will show it.
  const auto failure = identity_.RecordConfirmed(
      message.message_id, RedirectOf(list_.Entry(envelope.accepted)).Address, envelope.recipients,
      platform::ResolveName(FileOf(message, envelope.accepted)));
  if (failure) Log(*failure);
}

// The packet packed for a netmail is not left behind in the program's
// directory: once the message is confirmed the stored message keeps the
// record, and one that did not go is packed again next run.
void SmtpConversation::DropPacket(FileMessage& message) {
  if (!message.packet_written) return;
  (void)platform::DeleteFile(message.packet_path);
  message.packet_written = false;
}

}  // namespace kestrel::send
