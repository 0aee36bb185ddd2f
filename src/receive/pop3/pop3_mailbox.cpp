// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/pop3/pop3_mailbox.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "receive/pop3/pop3_reply.h"

namespace kestrel::receive {
namespace {

using core::Field;

// Below this share of LIST's size, less the slack, data is not the message
// LIST sized: a server that counts each line end as two bytes though the
// message keeps CR LF counts at most half as much again, and one that counts
// head lines it leaves out (a status or a trace line) a few hundred bytes.
constexpr std::uint64_t kShortestDataShare = 2;
constexpr std::uint64_t kShortDataSlackBytes = 4 * 1024;

// The fewest bytes a server may send for a message of `size` octets.
std::uint64_t ShortestData(std::uint64_t size) {
  const std::uint64_t share = size / kShortestDataShare;
  return share > kShortDataSlackBytes ? share - kShortDataSlackBytes : 0;
}

// Takes the decimal number at the start of `text` off it.
bool TakeNumber(std::string_view& text, std::uint64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return false;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return true;
}

// The numbers of a reply of LIST n's shape, "+OK n size", and whether text
// follows them.
struct ListLine {
  std::uint64_t number = 0;
  std::uint64_t size = 0;
  bool more = false;
};
std::optional<ListLine> ParseListLine(std::string_view reply) {
  constexpr std::string_view kOk = "+OK ";
  if (!reply.starts_with(kOk)) return std::nullopt;
  reply.remove_prefix(kOk.size());
  ListLine line;
  if (!TakeNumber(reply, line.number) || !reply.starts_with(' ')) return std::nullopt;
  reply.remove_prefix(1);
  if (!TakeNumber(reply, line.size) || (!reply.empty() && reply.front() != ' ')) {
    return std::nullopt;
  }
  line.more = !reply.empty();
  return line;
}

// The size LIST n gives, when its reply names message n.
std::optional<std::uint64_t> ListedSize(std::string_view reply, std::int32_t number) {
  const std::optional<ListLine> line = ParseListLine(reply);
  if (!line || line->number != static_cast<std::uint64_t>(number)) return std::nullopt;
  return line->size;
}

// "+OK n size" and nothing more answers LIST, never TOP or RETR (whose
// status says "octets", "follows", or nothing).
bool IsListReply(std::string_view reply) {
  const std::optional<ListLine> line = ParseListLine(reply);
  return line && !line->more;
}

// Messages whose LIST and TOP go out together when the server takes
// pipelined commands: one round trip for the heads of this many, while the
// replies the server holds for them stay small (heads are looked at as they
// come; only the Message-IDs of those taken are kept).
constexpr std::int32_t kHeadWindow = 20;

// The head and first body line of message n.
std::string TopCommand(const std::string& n) {
  return "TOP " + n + " 1";
}

void Log(net::NetSession& session, std::string_view text) {
  net::LogLine(session, text);
}

std::int32_t NumberOf(const MailboxMessage& message) {
  return static_cast<std::int32_t>(message.number);
}

}  // namespace

Pop3Mailbox::Pop3Mailbox(net::NetSession& session, MessageIntake& intake, Pop3Listing listing)
    : session_(session),
      front_end_(session.logger().front_end()),
      intake_(intake),
      listing_(std::move(listing)) {}

// The messages of the next window: their heads (asked together when the
// server takes pipelined commands), each offered as it is read.
Heads Pop3Mailbox::NextHeads(MailboxReader& reader) {
  if (next_ > listing_.count) return Heads::Done;
  if (session_.IsAborted() || Stopped()) return Heads::Ended;
  const std::int32_t first = next_;
  const std::int32_t last =
      std::min(listing_.count, first + (listing_.pipelining ? kHeadWindow : 1) - 1);
  next_ = last + 1;
  if (listing_.pipelining) {
    for (std::int32_t number = first; number <= last; ++number) {
      const std::string n = std::to_string(number);
      net::QueueLine(session_, "LIST " + n);
      if (number < last) net::QueueLine(session_, TopCommand(n));
    }
    net::SendLine(session_, TopCommand(std::to_string(last)));
  }
  const bool go_on = ReadHeads(first, last, reader);
  // Once a reply is in doubt, nothing more is fetched.
  if (session_.IsAborted() || out_of_step_) return Heads::Ended;
  return go_on ? Heads::Window : Heads::Last;
}

// A Stop between commands ends the walk; QUIT follows, so that what was
// saved is deleted on the server.
bool Pop3Mailbox::Stopped() {
  if (!session_.StopRequested()) return false;
  session_.NoteShortfall(net::Shortfall{"the rest of the mailbox", {}, net::Permanence::Transient});
  return true;
}

std::string Pop3Mailbox::UniqueId(std::int32_t number) const {
  const auto uid = listing_.unique_ids.find(number);
  return uid == listing_.unique_ids.end() ? std::string() : uid->second;
}

// Sends `first`, and `second` with it in one send when the server takes
// pipelined commands (short lines: the server reads them while the replies
// are awaited). True when `second` went out; else it waits for the reply
// to `first`.
bool Pop3Mailbox::SendPair(const std::string& first, const std::string& second) {
  if (!listing_.pipelining) {
    net::SendLine(session_, first);
    return false;
  }
  net::QueueLine(session_, first);
  net::SendLine(session_, second);
  return true;
}

// The reply to LIST n: what the server may send for the message. False
// when the server has no such message, though STAT counted it: the walk
// ends there, once the reply to a TOP sent with the LIST is read too.
// False as well when the reply names another message.
bool Pop3Mailbox::ListMessage(std::int32_t number, bool top_sent) {
  const std::string n = std::to_string(number);
  const net::Reply reply = ReadPop3Reply(session_);
  if (session_.IsAborted()) return false;
  if (!IsOk(reply)) {
    // A message is no larger than the mailbox.
    message_bounds_ = net::TransferBounds(WithSlack(listing_.bytes));
    Log(session_, "-- The server has no message " + n + " (" + reply.last() +
                      "), though it counted " + std::to_string(listing_.announced));
    session_.NoteShortfall("message " + n, reply.last());
    if (top_sent && IsOk(ReadPop3Reply(session_, net::Echo::Quiet))) {
      (void)net::ReadDotList(session_, kMaxHeaderLines, net::Echo::Quiet, message_bounds_);
    }
    return false;
  }
  return Listed(number, reply);
}

// A LIST n reply that names message n sets the bounds of its data.
bool Pop3Mailbox::Listed(std::int32_t number, const net::Reply& reply) {
  const std::string n = std::to_string(number);
  const std::optional<std::uint64_t> size = ListedSize(reply.last(), number);
  if (!size) {
    OutOfStep(number,
              "The reply to LIST " + n + " does not name message " + n + " (" + reply.last() + ")");
    return false;
  }
  listed_size_ = *size;
  message_bounds_ = net::TransferBounds(WithSlack(*size));
  return true;
}

// A reply that cannot be shown to answer its own command puts every later
// one in doubt: nothing more leaves the server this run, and the walk
// ends. What was held is saved still; its DELE waits for a later run.
void Pop3Mailbox::OutOfStep(std::int32_t number, const std::string& what) {
  out_of_step_ = true;
  Log(session_, "-- " + what + ": the replies are out of step, nothing more deleted");
  session_.NoteShortfall("message " + std::to_string(number));
}

// As many together as the batch has room for when the server takes
// pipelined commands, by count and by their LIST sizes (the first whatever
// its size); one compared goes alone, as does every one without pipelining.
std::size_t Pop3Mailbox::TakeCount(std::span<const MailboxMessage> run, bool compared,
                                   const BatchLoad&) const {
  if (!listing_.pipelining || compared) return 1;
  const std::size_t most = std::min(run.size(), intake_.BatchMessageRoom());
  std::uint64_t bytes = 0;
  std::size_t count = 0;
  for (; count < most; ++count) {
    bytes += run[count].size;
    if (count > 0 && bytes > intake_.BatchByteRoom()) break;
  }
  return std::max<std::size_t>(count, 1);
}

bool Pop3Mailbox::BatchDue(const BatchLoad&) const {
  return intake_.BatchFull();
}

Taking Pop3Mailbox::Take(std::span<const MailboxMessage> window, MailboxReader& reader) {
  if (window.size() == 1) return {TakeAlone(window.front(), reader)};
  return {TakeTogether(window, reader)};
}

// One message: its LIST and RETR, the data into a saved text made for it.
WalkStep Pop3Mailbox::TakeAlone(const MailboxMessage& message, MailboxReader& reader) {
  const std::int32_t number = NumberOf(message);
  const std::string n = std::to_string(number);
  ShowMessage(number);
  if (Stopped()) return WalkStep::Ends();
  if (!intake_.CreateSavedText()) return WalkStep::On();
  Log(session_, "-- Message " + n + " matched filter");
  const bool retr_sent = SendPair("LIST " + n, "RETR " + n);
  return ReadRetr(message, retr_sent, reader);
}

// The LISTs and RETRs of `window` in one send, their replies read in
// order and matched as when each goes alone, each message's data into its
// saved text as it comes. The replies still due when the walk ends within
// the window are read first, unless they are in doubt.
WalkStep Pop3Mailbox::TakeTogether(std::span<const MailboxMessage> window, MailboxReader& reader) {
  // The saved text of the first is made before anything is asked: a save
  // directory that cannot be written costs no data.
  if (!intake_.CreateSavedText()) return WalkStep::On();
  for (std::size_t i = 0; i + 1 < window.size(); ++i) {
    const std::string n = std::to_string(window[i].number);
    net::QueueLine(session_, "LIST " + n);
    net::QueueLine(session_, "RETR " + n);
  }
  const std::string n = std::to_string(window.back().number);
  net::QueueLine(session_, "LIST " + n);
  net::SendLine(session_, "RETR " + n);
  for (std::size_t i = 0; i < window.size(); ++i) {
    if (session_.IsAborted()) return WalkStep::Of(session_);
    const MailboxMessage& message = window[i];
    ShowMessage(NumberOf(message));
    if (i > 0) {
      const bool stopped = Stopped();
      if (stopped || !intake_.CreateSavedText()) {
        DrainRetrs(window.subspan(i));
        return stopped ? WalkStep::Ends() : WalkStep::On();
      }
    }
    Log(session_, "-- Message " + std::to_string(message.number) + " matched filter");
    const WalkStep read = ReadRetr(message, true, reader);
    if (!read.on()) {
      DrainRetrs(window.subspan(i + 1));
      return read;
    }
  }
  return WalkStep::On();
}

// The replies still due for messages of a window whose walk ends within
// it, read and dropped (the messages stay on the server), so that DELE
// and QUIT read their own replies.
void Pop3Mailbox::DrainRetrs(std::span<const MailboxMessage> rest) {
  for (const MailboxMessage& message : rest) {
    if (session_.IsAborted() || out_of_step_) return;
    const std::int32_t number = NumberOf(message);
    const net::Reply list = ReadPop3Reply(session_, net::Echo::Quiet);
    if (session_.IsAborted() || !Listed(number, list)) return;
    const net::Reply retr = ReadPop3Reply(session_, net::Echo::Quiet);
    if (IsOk(retr) && IsListReply(retr.last())) {
      OutOfStep(number, "The reply to RETR " + std::to_string(number) + " is a LIST reply (" +
                            retr.last() + ")");
      return;
    }
    // The data is read up to its "." line and kept nowhere.
    if (IsOk(retr)) (void)net::ReadDotList(session_, 0, net::Echo::Quiet, message_bounds_);
  }
}

void Pop3Mailbox::ShowMessage(std::int32_t number) {
  front_end_.SetField(Field::GetCurrentMsg, std::to_string(number));
  front_end_.SetField(Field::GetFilename, "");
  front_end_.SetField(Field::GetByteProgress, "");
}

// The heads of first..last, each matched to its command, in order, each
// offered to the walk. False when the walk must end after them: the replies
// still due for the window are read first.
bool Pop3Mailbox::ReadHeads(std::int32_t first, std::int32_t last, MailboxReader& reader) {
  for (std::int32_t number = first; number <= last; ++number) {
    if (!listing_.pipelining) net::SendLine(session_, "LIST " + std::to_string(number));
    if (!ListMessage(number, listing_.pipelining)) {
      DrainHeads(number + 1, last);
      return false;
    }
    switch (ReadHead(number)) {
      case Head::Read:
        break;
      case Head::Refused:
        if (heads_read_) continue;
        DrainHeads(number + 1, last);
        return false;
      case Head::TooLong:
        continue;
      case Head::Lost:
      case Head::OutOfStep:
        return false;
    }
    const auto at = static_cast<std::uint64_t>(number);
    if (!reader.Offer({at, static_cast<std::size_t>(at), UniqueId(number), {}, listed_size_},
                      header_)) {
      ShowMessage(number);
    }
  }
  return true;
}

// The head of message n, its TOP sent with the LIST or now.
Pop3Mailbox::Head Pop3Mailbox::ReadHead(std::int32_t number) {
  const Head head = ReadHeader(number, listing_.pipelining);
  if (session_.closed())
    session_.Abort(net::kClosedReason);  // nothing more can be said to a closed server
  if (session_.IsAborted()) return Head::Lost;
  if (head == Head::Read) heads_read_ = true;
  return head;
}

// The LIST and TOP replies of a window still due once the walk ends
// within it, read so that QUIT's reply is read as such.
void Pop3Mailbox::DrainHeads(std::int32_t first, std::int32_t last) {
  if (!listing_.pipelining) return;
  for (std::int32_t number = first; number <= last; ++number) {
    if (session_.IsAborted() || out_of_step_) return;
    const net::Reply list = ReadPop3Reply(session_, net::Echo::Quiet);
    const std::optional<std::uint64_t> size = ListedSize(list.last(), number);
    if (IsOk(list) && !size) {
      OutOfStep(number, "The reply to LIST " + std::to_string(number) + " does not name message " +
                            std::to_string(number) + " (" + list.last() + ")");
      return;
    }
    const net::Reply top = ReadPop3Reply(session_, net::Echo::Quiet);
    if (IsOk(top) && IsListReply(top.last())) {
      OutOfStep(number, "The reply to " + TopCommand(std::to_string(number)) +
                            " is a LIST reply (" + top.last() + ")");
      return;
    }
    if (IsOk(top)) {
      (void)net::ReadDotList(session_, kMaxHeaderLines, net::Echo::Quiet,
                             net::TransferBounds(WithSlack(size ? *size : listing_.bytes)));
    }
  }
}

// The replies to LIST n and RETR n (sent now unless `retr_sent`), the data
// into the saved text made for the message; then it is held or left.
WalkStep Pop3Mailbox::ReadRetr(const MailboxMessage& message, bool retr_sent,
                               MailboxReader& reader) {
  const std::int32_t number = NumberOf(message);
  const std::string n = std::to_string(number);
  const net::Reply list = ReadPop3Reply(session_);
  if (session_.IsAborted() || !Listed(number, list)) {
    intake_.Discard();
    return session_.IsAborted() ? WalkStep::Of(session_) : WalkStep::Ends();
  }
  if (!retr_sent) net::SendLine(session_, "RETR " + n);
  const net::Reply retr = ReadPop3Reply(session_);
  if (!IsOk(retr) || IsListReply(retr.last())) {
    // No data follows: the message stays on the server, and its empty saved
    // text goes with its number, which the next message takes.
    intake_.Discard();
    if (session_.IsAborted()) return WalkStep::Of(session_);
    if (IsOk(retr)) {
      OutOfStep(number, "The reply to RETR " + n + " is a LIST reply (" + retr.last() + ")");
      return WalkStep::Ends();
    }
    Log(session_,
        "-- Message " + n + " could not be fetched (" + retr.last() + "), left on the server");
    session_.NoteShortfall("message " + n, retr.last());
    return WalkStep::On();
  }
  const MessageOutcome outcome = intake_.ReceiveData(n, DecodeMode::Save, message_bounds_);
  // Data that broke off is short for that reason alone.
  const bool ended = session_.IsAborted() || session_.closed();
  if (!ended && intake_.data_bytes() < ShortestData(listed_size_)) {
    intake_.Discard();
    OutOfStep(number, "Message " + n + " came with " + std::to_string(intake_.data_bytes()) +
                          " bytes, LIST gave " + std::to_string(listed_size_));
    return WalkStep::Ends();
  }
  return HoldOrLeave(message, outcome, reader);
}

// The walk holds a message that came whole; any other stays, and a closed
// server ends the session first, so that its data is told as broken off.
WalkStep Pop3Mailbox::HoldOrLeave(const MailboxMessage& message, const MessageOutcome& outcome,
                                  MailboxReader& reader) {
  if ((session_.IsAborted() || !outcome.whole) && session_.closed()) {
    session_.Abort(net::kClosedReason);
  }
  if (reader.Received(message, outcome) == DataFate::Refused) return WalkStep::Ends();
  return WalkStep::Of(session_);
}

// RETR n once without writing anything, its data through the scanner.
std::optional<std::string> Pop3Mailbox::Fingerprint(const MailboxMessage& message, WalkStep& step) {
  const std::int32_t number = NumberOf(message);
  const std::string n = std::to_string(number);
  ShowMessage(number);
  // The bounds of its data until its LIST is asked again.
  message_bounds_ = net::TransferBounds(WithSlack(message.size));
  net::SendLine(session_, "RETR " + n);
  const net::Reply retr = ReadPop3Reply(session_, net::Echo::Quiet);
  if (!IsOk(retr)) {
    step = WalkStep::Of(session_);
    return std::nullopt;
  }
  if (IsListReply(retr.last())) {
    OutOfStep(number, "The reply to RETR " + n + " is a LIST reply (" + retr.last() + ")");
    step = WalkStep::Ends();
    return std::nullopt;
  }
  const MessageOutcome outcome = intake_.ReceiveData(n, DecodeMode::VerifyOnly, message_bounds_);
  if (session_.closed()) session_.Abort(net::kClosedReason);
  step = WalkStep::Of(session_);
  if (!outcome.whole || outcome.content_digest.empty()) return std::nullopt;
  return outcome.content_digest;
}

// DELE for each, in one send when the server takes pipelined commands;
// none once the replies are out of step.
WalkStep Pop3Mailbox::Remove(std::span<const MailboxMessage> messages) {
  if (out_of_step_) {
    for (const MailboxMessage& message : messages) {
      Log(session_, "-- Message " + std::to_string(message.number) +
                        " saved, left on the server as the replies are out of step");
    }
    return WalkStep::Ends();
  }
  if (listing_.pipelining) {
    // One send for the batch's DELEs; their replies come in their order.
    for (std::size_t i = 0; i + 1 < messages.size(); ++i) {
      net::QueueLine(session_, "DELE " + std::to_string(messages[i].number));
    }
    net::SendLine(session_, "DELE " + std::to_string(messages.back().number));
    for (const MailboxMessage& message : messages) {
      if (!session_.IsAborted()) JudgeDelete(NumberOf(message));
    }
  } else {
    for (const MailboxMessage& message : messages) {
      if (!session_.IsAborted()) Delete(NumberOf(message));
    }
  }
  return WalkStep::Of(session_);
}

void Pop3Mailbox::Delete(std::int32_t number) {
  net::SendLine(session_, "DELE " + std::to_string(number));
  JudgeDelete(number);
}

// The reply to DELE n.
void Pop3Mailbox::JudgeDelete(std::int32_t number) {
  const std::string n = std::to_string(number);
  const net::Reply reply = ReadPop3Reply(session_, net::Echo::Quiet);
  if (IsOk(reply) || session_.IsAborted()) return;
  Log(session_, "-- Message " + n + " could not be deleted on the server (" + reply.last() + ")");
  session_.NoteShortfall("message " + n, reply.last());
}

// TOP n 1, unless it went out with the LIST: the head lines, read up to
// the "." line.
Pop3Mailbox::Head Pop3Mailbox::ReadHeader(std::int32_t number, bool sent) {
  const std::string n = std::to_string(number);
  header_.Clear();
  if (!sent) net::SendLine(session_, TopCommand(n));
  const net::Reply status = ReadPop3Reply(session_, net::Echo::Quiet);
  if (!status.ok()) return Head::Lost;
  if (IsListReply(status.last())) {
    OutOfStep(number, "The reply to " + TopCommand(n) + " is a LIST reply (" + status.last() + ")");
    return Head::OutOfStep;
  }
  if (!IsOk(status)) {
    Log(session_, heads_read_ ? "-- No head of message " + n + " (" + status.last() + "), skipped"
                              : "-- The server gives no message heads (TOP: " + status.last() +
                                    "), nothing taken");
    session_.NoteShortfall("message " + n, status.last());
    return Head::Refused;
  }
  const net::Reply head =
      net::ReadDotList(session_, kMaxHeaderLines, net::Echo::Quiet, message_bounds_);
  if (!head.ok()) return Head::Lost;
  if (head.dropped > 0) {
    Log(session_, "-- Head of message " + n + " longer than " + std::to_string(kMaxHeaderLines) +
                      " lines, skipped");
    session_.NoteShortfall(net::Shortfall{"message " + n, {}, net::Permanence::Permanent});
    return Head::TooLong;
  }
  for (const std::string& line : head.lines) header_.Add(line);
  return Head::Read;
}

}  // namespace kestrel::receive
