// SPDX-License-Identifier: GPL-2.0-or-later
// A file laid out before it goes: whole, in pieces under the server's limit,
// or held when it may not be split.
#include <algorithm>

#include "platform/file_names.h"
#include "send/laid_out_file.h"
#include "send/piece_set.h"
#include "send/smtp_conversation.h"

namespace kestrel::send {

using outbound::SendEntry;
using outbound::SendState;

// A file as attachment is laid out whole before its envelope, so that its
// size is known: false (composed as it goes) for other messages and for a
// file that cannot be opened.
bool SmtpConversation::LayOut(FileMessage& message) {
  const SendEntry& entry = list_.Entry(message.current);
  if (!LaysOut(entry, RedirectOf(entry)) || !OpenToLayOut(entry.Path, message.laid_out)) {
    return false;
  }
  message.size = static_cast<std::int64_t>(
      std::min<std::uint64_t>(message.laid_out.laid.file_bytes, INT64_MAX));
  message.file_size_text = std::to_string(message.size);
  message.stamp = StampFor(entry, PlannedRecipients(list_, message, configuration_));
  message.message_id = message.stamp.message_id;
  // The template's remarks reach the pane only, as while the data flows.
  const net::SuspendedLog quiet(session_);
  LayOutFileMessage(message.laid_out, entry, message.size,
                    {RedirectOf(entry), configuration_, header_template_, message.stamp}, sink_);
  return true;
}

net::StepResult SmtpConversation::SendLaidOut(FileMessage& message) {
  const std::uint64_t bytes = message.laid_out.laid.Bytes();
  const std::uint64_t limit = LimitFor(list_.Entry(message.current));
  const std::uint64_t target = MessageTarget(limit);
  if (limit > 0 && bytes > target) {
    if (configuration_.SPLITLARGE) return SendInPieces(message, target);
    Hold(message, bytes, limit, "SPLITLARGE 0");
    return net::StepResult::Ok();
  }
  const std::string& path = list_.Entry(message.current).Path;
  std::vector<int> entries = EntriesOfFile(message);
  Envelope envelope;
  if (SendTransaction(message, entries, LineCollector(), {0, message.laid_out.laid.LineCount()},
                      "-- Sending " + platform::BaseName(path) + " " + message.file_size_text + "b",
                      envelope) == Outcome::Confirmed) {
    return Confirm(message, envelope);
  }
  return net::StepResult::Of(session_);
}

// Too large for the server and not to be split: nothing is uploaded, the
// file waits listed.
void SmtpConversation::Hold(FileMessage& message, std::uint64_t bytes, std::uint64_t limit,
                            const char* why) {
  const std::string path = list_.Entry(message.current).Path;
  Log("-- Held " + path + ": " + std::to_string(bytes) + " bytes as a message, limit " +
      std::to_string(limit) + " (" + why + ")");
  for (const int i : EntriesOfFile(message)) list_.Entry(i).State = SendState::Skipped;
  session_.NoteShortfall(net::Shortfall{path, {}, net::Permanence::Permanent});
}

// The message as pieces of "message/partial" (RFC 2046 5.2.2), each its own
// transaction under the limit. The file is done only when every piece is
// confirmed; each confirmed piece is recorded, and a set cut short goes on
// at its first unconfirmed piece next run, under the same set id (a new one
// only when the record says the whole set was confirmed).
net::StepResult SmtpConversation::SendInPieces(FileMessage& message, std::uint64_t target) {
  const SendEntry& entry = list_.Entry(message.current);
  const PartialSet set(RedirectOf(entry), configuration_, message.stamp, message.laid_out.subject);
  const std::vector<LineRange> pieces = set.Cut(message.laid_out.laid, target);
  if (pieces.empty()) {
    Hold(message, message.laid_out.laid.Bytes(), LimitFor(entry), "it cannot be split");
    return net::StepResult::Ok();
  }
  const std::uint64_t total = pieces.size();
  const std::string path = platform::ResolveName(entry.Path);
  const std::string node = RedirectOf(entry).Address;
  // The last piece goes again even when recorded: the set's own record is
  // what says it went whole.
  std::uint64_t first = 1;
  while (first < total &&
         identity_.HasPiece(message.message_id, first, total,
                            PlannedRecipients(list_, message, configuration_), path)) {
    ++first;
  }
  if (first > 1) {
    Log("-- Pieces 1 to " + std::to_string(first - 1) + " of " + std::to_string(total) + " of " +
        entry.Path + " went before, going on with piece " + std::to_string(first));
  }
  const std::string remark = "-- Sending " + platform::BaseName(entry.Path) + " " +
                             message.file_size_text + "b in " + std::to_string(total) + " pieces";
  std::vector<int> entries = EntriesOfFile(message);
  Envelope envelope;
  for (std::uint64_t number = first; number <= total; ++number) {
    if (SendTransaction(message, entries, set.Head(number, total), pieces[number - 1],
                        number == first ? remark : std::string(), envelope) != Outcome::Confirmed) {
      return net::StepResult::Of(session_);
    }
    if (const auto failure = identity_.RecordPiece(message.message_id, number, total, node,
                                                   envelope.recipients, path)) {
      Log(*failure);
    }
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](int i) { return list_.Entry(i).State != SendState::Taken; }),
                  entries.end());
    if (entries.empty()) return net::StepResult::Ok();
    Log("-- Piece " + std::to_string(number) + " of " + std::to_string(total) + " sent");
  }
  envelope.accepted = entries.front();
  return Confirm(message, envelope);
}

}  // namespace kestrel::send
