// SPDX-License-Identifier: GPL-2.0-or-later
// The envelope of one message: RSET, MAIL FROM, the RCPT TOs and DATA or BDAT,
// pipelined when offered, and what the answers make of the entries.
#include <algorithm>

#include "core/link_events.h"
#include "send/smtp_conversation.h"
#include "send/smtp_reply.h"

namespace kestrel::send {

using core::Field;
using outbound::SendEntry;
using outbound::SendState;

namespace {

// The pause after RSET is this fraction of SENDPAUSE: 100 ms to its default 500.
constexpr std::uint32_t kResetPauseDivisor = 5;
// A counted chunk up to this size goes with the envelope commands, in one
// round trip; a larger one waits for their answers, so that a refused
// message is not uploaded.
constexpr std::uint64_t kGroupedChunkBytes = 256 * 1024;

}  // namespace

// A command of the envelope: with PIPELINING it waits in the output for the
// others of its group, else it goes at once.
void SmtpConversation::Command(const std::string& line) {
  if (offer_.pipelining) {
    net::QueueLine(session_, line);
  } else {
    net::SendLine(session_, line);
  }
}

// A 421, or a connection the server closed: it takes nothing more on this
// connection, though it may on the next.
bool SmtpConversation::EndsSession(const net::Reply& reply) {
  if (Aborted() || !(HasCode(reply, 421) || reply.status == net::ReplyStatus::Closed)) {
    return false;
  }
  ended_ = true;
  ended_open_ = false;
  ended_why_ = reply.ok() ? reply.last() : "connection closed";
  return true;
}

// The entries' states after the answers to their addresses (`answers[k]`
// to `addresses[k]`): accepted ones are taken, the others stay listed.
void SmtpConversation::MarkEntries(const std::vector<int>& entries,
                                   const std::vector<std::string>& addresses,
                                   const std::vector<net::Reply>& answers, Envelope& envelope) {
  for (const int i : entries) {
    if (Aborted()) break;
    SendEntry& entry = list_.Entry(i);
    const std::string& address = RedirectOf(entry).EmailAddress;
    const auto asked = std::find(addresses.begin(), addresses.end(), address);
    const bool accepted = asked != addresses.end() &&
                          static_cast<std::size_t>(asked - addresses.begin()) < answers.size() &&
                          answers[asked - addresses.begin()].code / 100 == 2;
    if (accepted) {
      if (entry.State != SendState::Taken) {
        ++entries_counter_;
        Show(Field::FilesSent, std::to_string(entries_counter_));
        entry.State = SendState::Taken;
      }
      if (envelope.accepted == 0) envelope.accepted = i;
      if (std::find(envelope.recipients.begin(), envelope.recipients.end(), address) ==
          envelope.recipients.end()) {
        envelope.recipients.push_back(address);
      }
      continue;
    }
    // Refused: this system's copy stays listed on disk for the next run.
    entry.State = SendState::Skipped;
    const auto refusal = refused_.find(address);
    session_.NoteShortfall(entry.Path + " for " + address,
                           refusal == refused_.end() ? std::string() : refusal->second);
    if (asked != addresses.end()) {
      Log("--   Recipient refused, file kept for the next run (" + address + ")");
      (void)core::RecordLinkEvent(core::LinkEventKind::Refused, RedirectOf(entry).Address,
                                  refusal == refused_.end() ? std::string() : refusal->second);
    } else {
      Log("--   Recipient refused earlier in this run, file kept for the next run (" + address +
          ")");
    }
  }
}

// RSET when a transaction was left open, MAIL FROM (with SIZE= when known and
// offered), one RCPT TO per address of `entries` (one file listed twice for
// a system, in two flow files of its node, goes to it once) and DATA, or
// with CHUNKING the chunk's BDAT. With PIPELINING they go as one group, a
// small chunk with them, and the answers are read in order after it; else
// each waits for its answer. Entries whose recipient is refused, now or
// earlier in this run, leave `entries`; they stay listed on disk.
SmtpConversation::Envelope SmtpConversation::SendEnvelope(FileMessage& message,
                                                          const std::vector<int>& entries,
                                                          std::optional<std::uint64_t> size,
                                                          const Chunk* chunk) {
  Envelope envelope;
  std::vector<std::string> addresses;
  for (const int i : entries) {
    const std::string& address = RedirectOf(list_.Entry(i)).EmailAddress;
    if (!refused_.contains(address) &&
        std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
      addresses.push_back(address);
    }
  }
  const bool group = offer_.pipelining;
  const bool reset = needs_reset_ && !addresses.empty();
  const bool grouped_chunk = group && chunk && chunk->bytes <= kGroupedChunkBytes;
  // The group ends with DATA, or the chunk's BDAT: answered after the RCPTs.
  const bool data_in_group = group && (!chunk || grouped_chunk);
  net::Reply sender;
  std::vector<net::Reply> answers;  // one per address asked
  if (!addresses.empty()) {
    if (reset) {
      Command("RSET");
      needs_reset_ = false;
      if (!group) {
        (void)ReadSmtpReply(session_);
        Pause(configuration_.SENDPAUSE / kResetPauseDivisor);
      }
    }
    const bool with_size = size && offer_.size.announced;
    Command("MAIL FROM:<" + configuration_.FROMEMAIL + ">" +
            (with_size ? " SIZE=" + std::to_string(*size) : std::string()));
    if (!group) sender = ReadSmtpReply(session_);
    for (const std::string& address : addresses) {
      if (Aborted() || (!group && !HasCode(sender, 250))) break;
      Command("RCPT TO:<" + address + ">");
      if (group) continue;
      answers.push_back(ReadSmtpReply(session_));
      if (EndsSession(answers.back())) break;
    }
    const bool any = std::any_of(answers.begin(), answers.end(),
                                 [](const net::Reply& r) { return r.ok() && r.code / 100 == 2; });
    if (group || any) {
      if (!chunk) {
        Command("DATA");
      } else if (grouped_chunk) {
        Command("BDAT " + std::to_string(chunk->bytes) + " LAST");
        // Data cut off leaves no answer to read: the session is aborted.
        if (!chunk->write().ok()) return envelope;
      }
    }
    if (group) {
      net::FlushOutput(session_);
      if (reset) (void)ReadSmtpReply(session_);
      sender = ReadSmtpReply(session_);
      for (std::size_t k = 0; k < addresses.size() && sender.ok(); ++k) {
        answers.push_back(ReadSmtpReply(session_));
        if (!answers.back().ok()) break;
      }
    }
    if (EndsSession(sender)) envelope.ended = true;
    if (envelope.ended || Aborted()) return envelope;
    if (!HasCode(sender, 250)) {
      // RFC 1870 6.1: 552 and 452 refuse this message's size, not the sender.
      if (size && offer_.size.announced && (HasCode(sender, 552) || HasCode(sender, 452))) {
        KeepRefused(message, sender.last());
        envelope.refused = true;
      } else {
        RefuseSender(message, sender);
      }
      // What the group carried after the MAIL is answered too.
      if (data_in_group) (void)ReadSmtpReply(session_);
      return envelope;
    }
    needs_reset_ = true;
    for (const net::Reply& answer : answers) {
      if (EndsSession(answer)) envelope.ended = true;
    }
    // Every recipient "452" on a connection that already carried messages:
    // its limit of messages, not the addresses' fault.
    if (!envelope.ended && session_messages_ > 0 && answers.size() == addresses.size() &&
        std::all_of(answers.begin(), answers.end(),
                    [](const net::Reply& r) { return HasCode(r, 452); })) {
      ended_ = true;
      ended_open_ = true;
      ended_why_ = answers.back().last();
      envelope.ended = true;
      if (data_in_group) (void)ReadSmtpReply(session_);
    }
    if (envelope.ended || Aborted()) return envelope;
    for (std::size_t k = 0; k < answers.size(); ++k) {
      if (!(answers[k].code / 100 == 2)) refused_[addresses[k]] = answers[k].last();
    }
  }

  MarkEntries(entries, addresses, answers, envelope);
  if (addresses.empty() || Aborted()) return envelope;
  if (envelope.accepted == 0) {
    // The DATA or chunk of the group meets no recipient: its refusal is read.
    if (data_in_group) {
      const net::Reply data = ReadSmtpReply(session_);
      // A server that would read data without a recipient is not followed.
      if (HasCode(data, 354)) session_.Abort("354 without a recipient");
    }
    return envelope;
  }
  if (!chunk) {
    // Without "354" the server is not reading data: the message lines would
    // arrive as commands.
    const net::Reply data = ReadSmtpReply(session_);
    if (EndsSession(data)) {
      envelope.ended = true;
      return envelope;
    }
    envelope.data_ready = HasCode(data, 354);
  } else if (grouped_chunk) {
    envelope.final_reply = AwaitConfirmation();
    envelope.data_ready = true;
  } else {
    envelope.data_ready = true;
  }
  return envelope;
}

}  // namespace kestrel::send
