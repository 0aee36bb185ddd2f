// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/walk/mailbox_walk.h"

#include <algorithm>
#include <string>
#include <utility>

namespace kestrel::receive {

MailboxWalk::MailboxWalk(net::NetSession& session, const config::Configuration& configuration,
                         MessageIntake& intake, Mailbox& mailbox)
    : session_(session), configuration_(configuration), intake_(intake), mailbox_(mailbox) {}

void MailboxWalk::Log(const std::string& text) {
  net::LogLine(session_, text);
}

net::StepResult MailboxWalk::Run() {
  bool walked = true;
  for (;;) {
    accepted_.clear();
    taken_ = 0;
    compared_ = false;
    const Heads heads = mailbox_.NextHeads(*this);
    if (heads == Heads::Done) break;
    if (heads == Heads::Ended || !TakeAccepted(accepted_.size()).on() || heads == Heads::Last) {
      walked = false;
      break;
    }
  }
  if (walked && !session_.IsAborted()) session_.NoteLeftByFilters(skipped_);
  (void)FlushAndRemove();
  return net::StepResult::Of(session_);
}

bool MailboxWalk::Offer(MailboxMessage message, const HeaderLines& head) {
  if (!AcceptMessage(configuration_.Filters, head.lines())) {
    // One per foreign message: the log keeps it, the console does not.
    net::LogLine(session_, "-- Skipping message " + std::to_string(message.number),
                 core::LineKind::Detail);
    ++skipped_;
    return false;
  }
  message.message_id = head.message_id();
  accepted_.push_back(std::move(message));
  return true;
}

WalkStep MailboxWalk::Settle() {
  const MailboxMessage& last = accepted_.back();
  if (!intake_.IsSuspect(last.unique_id, last.message_id)) return WalkStep::On();
  const std::size_t at = accepted_.size() - 1;
  const WalkStep before = TakeAccepted(at);
  if (!before.on()) return before;
  bool copy = false;
  const WalkStep compared = Compare(last, copy);
  if (copy) {
    accepted_.pop_back();
  } else {
    compared_ = true;
  }
  return compared;
}

WalkStep MailboxWalk::TakeAccepted(std::size_t end) {
  while (taken_ < end) {
    if (mailbox_.Stopped()) return WalkStep::Ends();
    const MailboxMessage& first = accepted_[taken_];
    bool compared = std::exchange(compared_, false);
    if (!compared && intake_.IsSuspect(first.unique_id, first.message_id)) {
      bool copy = false;
      const WalkStep step = Compare(first, copy);
      if (!step.on()) return step;
      if (copy) {
        ++taken_;
        continue;
      }
      compared = true;
    }
    const std::span<const MailboxMessage> run = RunFrom(taken_, end);
    const std::size_t count = mailbox_.TakeCount(run, compared, load_);
    const WalkStep taken = TakeWindow(run.first(count));
    if (!taken.on()) return taken;
    taken_ += count;
    if (mailbox_.BatchDue(load_)) {
      const WalkStep flushed = FlushAndRemove();
      if (!flushed.on()) return flushed;
    }
  }
  return WalkStep::On();
}

WalkStep MailboxWalk::Compare(const MailboxMessage& message, bool& copy) {
  // The comparison needs what was taken before in the journal.
  const WalkStep flushed = FlushAndRemove();
  if (!flushed.on()) return flushed;
  if (mailbox_.Stopped()) return WalkStep::Ends();
  const std::string n = std::to_string(message.number);
  Log("-- Message " + n + " may have been received before, comparing");
  WalkStep step = WalkStep::On();
  const std::optional<std::string> digest = mailbox_.Fingerprint(message, step);
  if (!step.on()) return step;
  if (digest && intake_.IsCopy(message.unique_id, message.message_id, *digest)) {
    Log("-- Message " + n + " already received, " + mailbox_.Removing());
    copy = true;
    return mailbox_.Remove(std::span(&message, 1));
  }
  Log("-- Message " + n + " is not the one received before, taking it");
  return mailbox_.Stopped() ? WalkStep::Ends() : WalkStep::On();
}

std::span<const MailboxMessage> MailboxWalk::RunFrom(std::size_t at, std::size_t end) const {
  const auto begin = accepted_.begin() + static_cast<std::ptrdiff_t>(at);
  std::size_t last = at + 1;
  for (; last < end; ++last) {
    const MailboxMessage& message = accepted_[last];
    if (intake_.IsSuspect(message.unique_id, message.message_id)) break;
    // "<>" stands for a Message-ID a sender lacks: it names no message.
    const bool real_id = !message.message_id.empty() && message.message_id != "<>";
    const bool twice = std::any_of(
        begin, accepted_.begin() + static_cast<std::ptrdiff_t>(last), [&](const MailboxMessage& a) {
          return (!message.unique_id.empty() && a.unique_id == message.unique_id) ||
                 (real_id && a.message_id == message.message_id);
        });
    if (twice) break;
  }
  return std::span(accepted_).subspan(at, last - at);
}

WalkStep MailboxWalk::TakeWindow(std::span<const MailboxMessage> window) {
  const Taking taking = mailbox_.Take(window, *this);
  std::vector<MailboxMessage> fetched = std::exchange(fetched_, {});
  if (taking.removable) held_.insert(held_.end(), fetched.begin(), fetched.end());
  return taking.step;
}

DataFate MailboxWalk::Received(const MailboxMessage& message, const MessageOutcome& outcome) {
  const std::string n = std::to_string(message.number);
  if (!session_.IsAborted() && outcome.whole) {
    intake_.Hold(n, message.unique_id, message.message_id, outcome);
    ++load_.messages;
    load_.bytes += message.size;
    fetched_.push_back(message);
    return DataFate::Held;
  }
  // Fetched again on a later run, it gets a saved text then: the one begun
  // here goes, with its number.
  intake_.Discard();
  const std::string& id = message.message_id;
  std::string line =
      "-- Message " + n + " left on the server" + (id.empty() ? std::string() : " (" + id + ")");
  if (session_.IsAborted()) line += ": its data broke off";
  Log(line);
  session_.NoteShortfall("message " + n);
  // A message of its own kind is skipped; a disk that failed would fail
  // every later message as well.
  return !session_.IsAborted() && outcome.every_message ? DataFate::Refused : DataFate::Left;
}

WalkStep MailboxWalk::FlushAndRemove() {
  const std::vector<MailboxMessage> held = std::exchange(held_, {});
  const bool flushing = std::exchange(load_, {}).messages > 0;
  if (!intake_.Flush()) return WalkStep::Ends();
  if (flushing) intake_.Taken();  // their files are in the inbound
  if (held.empty()) return WalkStep::Of(session_);
  return mailbox_.Remove(held);
}

}  // namespace kestrel::receive
