// SPDX-License-Identifier: GPL-2.0-or-later
// What a refusal holds back: one file, the sender for the run, or a size
// learned for the route.
#include <ctime>

#include "core/link_events.h"
#include "send/learned_limits.h"
#include "send/piece_set.h"
#include "send/smtp_conversation.h"
#include "send/smtp_reply.h"

namespace kestrel::send {

using outbound::SendEntry;
using outbound::SendState;

// The server refused this one message (its size, its content): its file
// stays listed for the next run, and the others still go.
void SmtpConversation::KeepRefused(const FileMessage& message, const std::string& why) {
  const std::string path = FileOf(message, message.current);
  for (int i = 1; i <= list_.Count(); ++i) {
    SendEntry& entry = list_.Entry(i);
    if (FileOf(message, i) != path || (i != message.current && entry.State != SendState::Pending &&
                                       entry.State != SendState::Taken)) {
      continue;
    }
    entry.State = SendState::Skipped;
    const config::RedirectEntry& redirect = RedirectOf(entry);
    Log("-- Refused " + path + " for " + redirect.Address + " (" + redirect.EmailAddress +
        "): " + why);
    (void)core::RecordLinkEvent(core::LinkEventKind::Refused, redirect.Address, why);
  }
  session_.NoteShortfall(path, why);
}

// A refused sender ends the message's transaction before any recipient; its
// file stays as it is. A permanent refusal, or a second one, would meet every
// further message too.
void SmtpConversation::RefuseSender(const FileMessage& message, const net::Reply& reply) {
  const std::string path = FileOf(message, message.current);
  for (int i = 1; i <= list_.Count(); ++i) {
    SendEntry& entry = list_.Entry(i);
    if (FileOf(message, i) == path && entry.State == SendState::Pending) {
      entry.State = SendState::Skipped;
    }
  }
  list_.Entry(message.current).State = SendState::Skipped;
  session_.NoteShortfall(path, reply.last());
  Log("--   Sender refused, file kept for the next run (" + reply.last() + ")");
  if (reply.code / 100 == 5 || ++sender_refusals_ > 1) {
    Log("-- The server refuses the sender " + configuration_.FROMEMAIL + ", no more messages");
    give_up_ = true;
  }
}

// The answer to the end of the data. A refusal of this message (4xx, 5xx)
// holds back only its file, a 421 too, and the next message goes on a new
// connection; a lost connection or a time-out ends the job.
SmtpConversation::Outcome SmtpConversation::Judge(const FileMessage& message,
                                                  const net::Reply& reply) {
  if (HasCode(reply, 250) && !Aborted()) {
    needs_reset_ = false;
    ++session_messages_;
    return Outcome::Confirmed;
  }
  const int kind = reply.code / 100;
  if (reply.ok() && !Aborted() && (kind == 4 || kind == 5)) {
    // The data's answer ends the transaction; a 421 ends the session too,
    // and the next message goes on a new one.
    needs_reset_ = false;
    (void)EndsSession(reply);
    KeepRefused(message, reply.last());
    return Outcome::Refused;
  }
  net::LogAndAbort(session_, "-- Error sending aborting!");
  return Outcome::Failed;
}

// The data's answer; a server that announced no SIZE and refuses the
// message for its size has its limit learned for the route, so that the
// same bytes are not uploaded again to be refused.
SmtpConversation::Outcome SmtpConversation::JudgeData(const FileMessage& message,
                                                      std::uint64_t bytes,
                                                      const net::Reply& reply) {
  const Outcome outcome = Judge(message, reply);
  if (outcome != Outcome::Refused || offer_.size.announced || !RefusedForSize(reply)) {
    return outcome;
  }
  const SendEntry& entry = list_.Entry(message.current);
  const std::string route = RouteOf(configuration_.HOST, RedirectOf(entry).EmailAddress);
  Log("-- The server refused " + std::to_string(bytes) + " bytes for " + route +
      " without announcing SIZE: larger files go in pieces below that from now on");
  if (const auto failure = learned_.Learn(route, bytes, std::time(nullptr))) Log(*failure);
  return outcome;
}

// The smallest of the server's SIZE, MAXMESSAGESIZE and what the entry's
// route was learned to refuse; 0: none known.
std::uint64_t SmtpConversation::LimitFor(const SendEntry& entry) const {
  const std::uint64_t limit = MessageLimit(offer_.size, configuration_);
  const std::uint64_t learned =
      learned_.For(RouteOf(configuration_.HOST, RedirectOf(entry).EmailAddress));
  return learned > 0 && (limit == 0 || learned < limit) ? learned : limit;
}

}  // namespace kestrel::send
