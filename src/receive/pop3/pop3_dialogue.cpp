// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/pop3/pop3_dialogue.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "core/text_utils.h"
#include "receive/intake/header_filter.h"
#include "receive/pop3/pop3_login.h"
#include "receive/pop3/pop3_pace.h"
#include "receive/pop3/pop3_reply.h"
#include "receive/walk/message_intake.h"

namespace kestrel::receive {
namespace {

using core::Field;

// Messages looked at in one run, whatever count STAT announces.
constexpr std::int32_t kMaxWalkMessages = 100'000;
// A UIDL line: a message number, a blank and at most 70 characters.
constexpr std::uint64_t kMaxUidlLineBytes = 84;
// What a server may send beyond a message's announced size (line ends it
// counts as one byte, dot-stuffing, the status and "." lines).
constexpr std::uint64_t kSizeSlackBytes = 64 * 1024;

// The bytes a server may send for a message of `size` octets: a quarter
// more, and some.
std::uint64_t WithSlack(std::uint64_t size) {
  return size + size / 4 + kSizeSlackBytes;
}

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

// How the head of a message came out.
enum class Head { Read, Refused, TooLong, Lost, OutOfStep };

void Log(net::NetSession& session, std::string_view text) {
  net::LogLine(session, text);
}

class Pop3Walk {
 public:
  Pop3Walk(net::NetSession& session, const config::Configuration& configuration,
           const SentMessages* sent)
      : session_(session),
        configuration_(configuration),
        front_end_(session.logger().front_end()),
        intake_(session, configuration,
                configuration.POPUSERNAME + "@" + configuration.POPSERVER + ":" +
                    std::to_string(configuration.POPPORT),
                sent) {}

  void Run() {
    if (Login() && intake_.Open()) {
      ReadUniqueIds();
      const std::int32_t count = std::min(size_.messages, kMaxWalkMessages);
      if (count < size_.messages) {
        Log(session_, "-- Only the first " + std::to_string(count) + " messages are looked at");
        session_.NoteShortfall("messages beyond " + std::to_string(count));
      }
      const std::int32_t window = pipelining_ ? kHeadWindow : 1;
      bool walked = true;
      for (std::int32_t first = 1; first <= count; first += window) {
        if (session_.IsAborted() || Stopped() ||
            !Window(first, std::min(count, first + window - 1))) {
          walked = false;
          break;
        }
      }
      if (walked && !session_.IsAborted()) session_.NoteLeftByFilters(skipped_);
      (void)DeleteHeld();
      intake_.Close();
    }
    net::SendLine(session_, "QUIT");
    (void)ReadPop3Reply(session_);
  }

 private:
  // UIDL: the server's lasting name of each message, when it has them.
  void ReadUniqueIds() {
    if (size_.messages <= 0) return;
    net::SendLine(session_, "UIDL");
    if (!IsOk(ReadPop3Reply(session_, net::Echo::Quiet))) return;
    const auto count = static_cast<std::uint64_t>(size_.messages);
    const net::Reply list =
        net::ReadDotList(session_, count, net::Echo::Quiet,
                         net::TransferBounds(count * kMaxUidlLineBytes + kSizeSlackBytes));
    for (const std::string& line : list.lines) {
      const std::size_t blank = line.find(' ');
      if (blank == std::string::npos) continue;
      unique_ids_[core::TextToInt(line.substr(0, blank))] = line.substr(blank + 1);
    }
  }

  // A Stop between commands ends the walk; QUIT follows, so that what was
  // saved is deleted on the server.
  bool Stopped() {
    if (!session_.StopRequested()) return false;
    session_.NoteShortfall(
        net::Shortfall{"the rest of the mailbox", {}, net::Permanence::Transient});
    return true;
  }

  [[nodiscard]] std::string UniqueId(std::int32_t number) const {
    const auto uid = unique_ids_.find(number);
    return uid == unique_ids_.end() ? std::string() : uid->second;
  }

  // Login and STAT; true when STAT was accepted.
  bool Login() {
    const std::optional<Pop3Capabilities> capabilities = Pop3Login(session_, configuration_);
    if (!capabilities) return false;
    pipelining_ = capabilities->pipelining;
    RecordLogin(session_, configuration_, capabilities->login_delay_seconds);
    net::SendLine(session_, "STAT");
    const net::Reply reply = ReadPop3Reply(session_);
    if (!IsOk(reply)) {
      net::LogAndAbort(session_, "-- Could not connect (" + reply.last() + ")");
      return false;
    }
    size_ = ParseStatReply(reply.last());
    front_end_.SetField(Field::GetTotalMessages, std::to_string(size_.messages));
    front_end_.SetField(Field::GetTotalBytes, std::to_string(size_.bytes));
    if (size_.messages == 0) Log(session_, "<- No messages waiting");
    if (!session_.IsAborted()) {
      Log(session_, "-- Messages waiting: " + std::to_string(size_.messages) + " (" +
                        std::to_string(size_.bytes) + "b)");
    }
    return true;
  }

  // Sends `first`, and `second` with it in one send when the server takes
  // pipelined commands (short lines: the server reads them while the replies
  // are awaited). True when `second` went out; else it waits for the reply
  // to `first`.
  bool SendPair(const std::string& first, const std::string& second) {
    if (!pipelining_) {
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
  bool ListMessage(std::int32_t number, bool top_sent) {
    const std::string n = std::to_string(number);
    const net::Reply reply = ReadPop3Reply(session_);
    if (session_.IsAborted()) return false;
    if (!IsOk(reply)) {
      // A message is no larger than the mailbox.
      message_bounds_ = net::TransferBounds(WithSlack(size_.bytes));
      Log(session_, "-- The server has no message " + n + " (" + reply.last() +
                        "), though it counted " + std::to_string(size_.messages));
      session_.NoteShortfall("message " + n, reply.last());
      if (top_sent && IsOk(ReadPop3Reply(session_, net::Echo::Quiet))) {
        (void)net::ReadDotList(session_, kMaxHeaderLines, net::Echo::Quiet, message_bounds_);
      }
      return false;
    }
    return Listed(number, reply);
  }

  // A LIST n reply that names message n sets the bounds of its data.
  bool Listed(std::int32_t number, const net::Reply& reply) {
    const std::string n = std::to_string(number);
    const std::optional<std::uint64_t> size = ListedSize(reply.last(), number);
    if (!size) {
      OutOfStep(number, "The reply to LIST " + n + " does not name message " + n + " (" +
                            reply.last() + ")");
      return false;
    }
    listed_size_ = *size;
    message_bounds_ = net::TransferBounds(WithSlack(*size));
    return true;
  }

  // A reply that cannot be shown to answer its own command puts every later
  // one in doubt: nothing more leaves the server this run, and the walk
  // ends. What was held is saved still; its DELE waits for a later run.
  void OutOfStep(std::int32_t number, const std::string& what) {
    out_of_step_ = true;
    Log(session_, "-- " + what + ": the replies are out of step, nothing more deleted");
    session_.NoteShortfall("message " + std::to_string(number));
  }

  // A message whose head the filters accepted, to be taken once the heads
  // of its window are read.
  struct Accepted {
    std::int32_t number = 0;
    std::string message_id;
    std::uint64_t listed_size = 0;  // as LIST gave it with the head
  };

  // The messages first..last: their heads (asked together when the server
  // takes pipelined commands), then each accepted one taken. False when the
  // walk must end without an abort.
  bool Window(std::int32_t first, std::int32_t last) {
    if (pipelining_) {
      for (std::int32_t number = first; number <= last; ++number) {
        const std::string n = std::to_string(number);
        net::QueueLine(session_, "LIST " + n);
        if (number < last) net::QueueLine(session_, TopCommand(n));
      }
      net::SendLine(session_, TopCommand(std::to_string(last)));
    }
    std::vector<Accepted> accepted;
    const bool go_on = ReadHeads(first, last, accepted);
    // Once a reply is in doubt, nothing more is fetched.
    if (session_.IsAborted() || out_of_step_) return false;
    return TakeAll(accepted) && go_on;
  }

  // The accepted messages of a window: as many together as the batch has
  // room for when the server takes pipelined commands, else each alone.
  // False when the walk must end without an abort.
  bool TakeAll(const std::vector<Accepted>& accepted) {
    for (std::size_t at = 0; at < accepted.size();) {
      if (session_.IsAborted() || Stopped()) return false;
      const std::size_t count = pipelining_ ? RetrWindow(accepted, at) : 0;
      if (count < 2) {
        if (!TakeAccepted(accepted[at++])) return false;
        continue;
      }
      if (!TakeTogether(std::span(accepted).subspan(at, count))) return false;
      at += count;
    }
    return true;
  }

  // How many accepted messages from `first` on have their LISTs and RETRs
  // sent together: no more than the batch takes, by count and by their LIST
  // sizes (the first whatever its size), ending before one the journal may
  // know or one with the unique id or Message-ID of one before it: that one
  // is compared alone, once those before it are on the disk.
  [[nodiscard]] std::size_t RetrWindow(const std::vector<Accepted>& accepted,
                                       std::size_t first) const {
    const std::size_t most = std::min(accepted.size() - first, intake_.BatchMessageRoom());
    std::uint64_t bytes = 0;
    std::size_t count = 0;
    for (; count < most; ++count) {
      const Accepted& message = accepted[first + count];
      const std::string uid = UniqueId(message.number);
      if (intake_.IsSuspect(uid, message.message_id)) break;
      // "<>" stands for a Message-ID a sender lacks: it names no message.
      const bool real_id = !message.message_id.empty() && message.message_id != "<>";
      const auto before = accepted.begin() + static_cast<std::ptrdiff_t>(first);
      const bool twice =
          std::any_of(before, before + static_cast<std::ptrdiff_t>(count), [&](const Accepted& a) {
            return (!uid.empty() && UniqueId(a.number) == uid) ||
                   (real_id && a.message_id == message.message_id);
          });
      if (twice) break;
      bytes += message.listed_size;
      if (count > 0 && bytes > intake_.BatchByteRoom()) break;
    }
    return count;
  }

  // The LISTs and RETRs of `window` in one send, their replies read in
  // order and matched as when each goes alone, each message's data into its
  // saved text as it comes. False when the walk must end without an abort;
  // the replies still due are read first, unless they are in doubt.
  bool TakeTogether(std::span<const Accepted> window) {
    // The saved text of the first is made before anything is asked: a save
    // directory that cannot be written costs no data.
    if (!intake_.CreateSavedText()) return true;
    for (std::size_t i = 0; i + 1 < window.size(); ++i) {
      const std::string n = std::to_string(window[i].number);
      net::QueueLine(session_, "LIST " + n);
      net::QueueLine(session_, "RETR " + n);
    }
    const std::string n = std::to_string(window.back().number);
    net::QueueLine(session_, "LIST " + n);
    net::SendLine(session_, "RETR " + n);
    for (std::size_t i = 0; i < window.size(); ++i) {
      if (session_.IsAborted()) return true;
      const Accepted& message = window[i];
      ShowMessage(message.number);
      message_id_ = message.message_id;
      if (i > 0) {
        const bool stopped = Stopped();
        if (stopped || !intake_.CreateSavedText()) {
          DrainRetrs(window.subspan(i));
          return !stopped;
        }
      }
      Log(session_, "-- Message " + std::to_string(message.number) + " matched filter");
      if (!ReadRetr(message.number, true)) {
        DrainRetrs(window.subspan(i + 1));
        return false;
      }
    }
    return !intake_.BatchFull() || DeleteHeld();
  }

  // The replies still due for messages of a window whose walk ends within
  // it, read and dropped (the messages stay on the server), so that DELE
  // and QUIT read their own replies.
  void DrainRetrs(std::span<const Accepted> rest) {
    for (const Accepted& message : rest) {
      if (session_.IsAborted() || out_of_step_) return;
      const std::int32_t number = message.number;
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

  void ShowMessage(std::int32_t number) {
    front_end_.SetField(Field::GetCurrentMsg, std::to_string(number));
    front_end_.SetField(Field::GetFilename, "");
    front_end_.SetField(Field::GetByteProgress, "");
  }

  // The heads of first..last, each matched to its command, in order; those
  // the filters accept go to `accepted`. False when the walk must end after
  // them: the replies still due for the window are read first.
  bool ReadHeads(std::int32_t first, std::int32_t last, std::vector<Accepted>& accepted) {
    for (std::int32_t number = first; number <= last; ++number) {
      if (!pipelining_) net::SendLine(session_, "LIST " + std::to_string(number));
      if (!ListMessage(number, pipelining_)) {
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
      if (!AcceptMessage(configuration_.Filters, header_.lines())) {
        ShowMessage(number);
        // One per foreign message: the log keeps it, the console does not.
        net::LogLine(session_, "-- Skipping message " + std::to_string(number),
                     core::LineKind::Detail);
        ++skipped_;
        continue;
      }
      accepted.push_back({number, header_.message_id(), listed_size_});
    }
    return true;
  }

  // The head of message n, its TOP sent with the LIST or now.
  Head ReadHead(std::int32_t number) {
    const Head head = ReadHeader(number, pipelining_);
    if (session_.closed())
      session_.Abort(net::kClosedReason);  // nothing more can be said to a closed server
    if (session_.IsAborted()) return Head::Lost;
    if (head == Head::Read) heads_read_ = true;
    return head;
  }

  // The LIST and TOP replies of a window still due once the walk ends
  // within it, read so that QUIT's reply is read as such.
  void DrainHeads(std::int32_t first, std::int32_t last) {
    if (!pipelining_) return;
    for (std::int32_t number = first; number <= last; ++number) {
      if (session_.IsAborted() || out_of_step_) return;
      const net::Reply list = ReadPop3Reply(session_, net::Echo::Quiet);
      const std::optional<std::uint64_t> size = ListedSize(list.last(), number);
      if (IsOk(list) && !size) {
        OutOfStep(number, "The reply to LIST " + std::to_string(number) +
                              " does not name message " + std::to_string(number) + " (" +
                              list.last() + ")");
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
                               net::TransferBounds(WithSlack(size ? *size : size_.bytes)));
      }
    }
  }

  // One accepted message: compared first when the journal may know it, then
  // taken. False when the walk must end without an abort.
  bool TakeAccepted(const Accepted& message) {
    const std::int32_t number = message.number;
    const std::string n = std::to_string(number);
    ShowMessage(number);
    message_id_ = message.message_id;
    // The bounds of its data until its LIST is asked again.
    listed_size_ = message.listed_size;
    message_bounds_ = net::TransferBounds(WithSlack(listed_size_));
    const std::string uid = UniqueId(number);
    if (intake_.IsSuspect(uid, message_id_)) {
      // The comparison needs what was taken before in the journal.
      if (!DeleteHeld()) return false;
      const std::optional<std::string> digest = Fingerprint(number);
      if (session_.IsAborted()) return true;
      if (out_of_step_) return false;
      if (digest && intake_.IsCopy(uid, message_id_, *digest)) {
        Log(session_, "-- Message " + n + " already received, deleting");
        Delete(number);
        return true;
      }
      Log(session_, "-- Message " + n + " is not the one received before, taking it");
    }
    if (Stopped()) return false;
    return Take(number);
  }

  // Saves the message: its saved text, its files, then DELE. False when the
  // walk must end without an abort.
  bool Take(std::int32_t number) {
    const std::string n = std::to_string(number);
    if (!intake_.CreateSavedText()) return true;
    Log(session_, "-- Message " + n + " matched filter");
    const bool retr_sent = SendPair("LIST " + n, "RETR " + n);
    return ReadRetr(number, retr_sent) && (!intake_.BatchFull() || DeleteHeld());
  }

  // The replies to LIST n and RETR n (sent now unless `retr_sent`), the data
  // into the saved text made for the message; then it is held or left.
  // False when the walk must end without an abort.
  bool ReadRetr(std::int32_t number, bool retr_sent) {
    const std::string n = std::to_string(number);
    const net::Reply list = ReadPop3Reply(session_);
    if (session_.IsAborted() || !Listed(number, list)) {
      intake_.Discard();
      return session_.IsAborted();
    }
    if (!retr_sent) net::SendLine(session_, "RETR " + n);
    const net::Reply retr = ReadPop3Reply(session_);
    if (!IsOk(retr) || IsListReply(retr.last())) {
      // No data follows: the message stays on the server, and its empty saved
      // text goes with its number, which the next message takes.
      intake_.Discard();
      if (session_.IsAborted()) return true;
      if (IsOk(retr)) {
        OutOfStep(number, "The reply to RETR " + n + " is a LIST reply (" + retr.last() + ")");
        return false;
      }
      Log(session_,
          "-- Message " + n + " could not be fetched (" + retr.last() + "), left on the server");
      session_.NoteShortfall("message " + n, retr.last());
      return true;
    }
    const MessageOutcome outcome = intake_.ReceiveData(n, DecodeMode::Save, message_bounds_);
    // Data that broke off is short for that reason alone.
    const bool ended = session_.IsAborted() || session_.closed();
    if (!ended && intake_.data_bytes() < ShortestData(listed_size_)) {
      intake_.Discard();
      OutOfStep(number, "Message " + n + " came with " + std::to_string(intake_.data_bytes()) +
                            " bytes, LIST gave " + std::to_string(listed_size_));
      return false;
    }
    return HoldOrLeave(number, outcome);
  }

  // A message that came whole is held, to leave the server once its batch
  // is on the disk; any other stays. False when the walk must end without an
  // abort.
  bool HoldOrLeave(std::int32_t number, const MessageOutcome& outcome) {
    const std::string n = std::to_string(number);
    if (!session_.IsAborted() && outcome.whole) {
      intake_.Hold(n, UniqueId(number), message_id_, outcome);
      held_.push_back(number);
      return true;
    }
    if (session_.closed()) session_.Abort(net::kClosedReason);
    // Fetched again on a later run, it gets a saved text then: the one begun
    // here goes, with its number.
    intake_.Discard();
    const std::string& id = message_id_;
    std::string line =
        "-- Message " + n + " left on the server" + (id.empty() ? std::string() : " (" + id + ")");
    if (session_.IsAborted()) line += ": its data broke off";
    Log(session_, line);
    session_.NoteShortfall("message " + n);
    // A message of its own kind is skipped; a disk that failed would fail
    // every later message as well.
    return session_.IsAborted() || !outcome.every_message;
  }

  // A message the journal may know, fetched once without writing anything:
  // the fingerprint of its content, when it came whole.
  std::optional<std::string> Fingerprint(std::int32_t number) {
    const std::string n = std::to_string(number);
    Log(session_, "-- Message " + n + " may have been received before, comparing");
    net::SendLine(session_, "RETR " + n);
    const net::Reply retr = ReadPop3Reply(session_, net::Echo::Quiet);
    if (!IsOk(retr)) return std::nullopt;
    if (IsListReply(retr.last())) {
      OutOfStep(number, "The reply to RETR " + n + " is a LIST reply (" + retr.last() + ")");
      return std::nullopt;
    }
    const MessageOutcome outcome = intake_.ReceiveData(n, DecodeMode::VerifyOnly, message_bounds_);
    if (session_.closed()) session_.Abort(net::kClosedReason);
    if (!outcome.whole || outcome.content_digest.empty()) return std::nullopt;
    return outcome.content_digest;
  }

  // The messages held go to the disk together, then leave the server. False
  // when they could not be written: they stay, and the walk must end.
  bool DeleteHeld() {
    const std::vector<std::int32_t> held = std::exchange(held_, {});
    if (!intake_.Flush()) return false;
    if (held.empty()) return true;
    intake_.Taken();  // their files are in the inbound
    if (out_of_step_) {
      for (const std::int32_t number : held) {
        Log(session_, "-- Message " + std::to_string(number) +
                          " saved, left on the server as the replies are out of step");
      }
      return true;
    }
    if (pipelining_) {
      // One send for the batch's DELEs; their replies come in their order.
      for (std::size_t i = 0; i + 1 < held.size(); ++i) {
        net::QueueLine(session_, "DELE " + std::to_string(held[i]));
      }
      net::SendLine(session_, "DELE " + std::to_string(held.back()));
      for (const std::int32_t number : held) {
        if (!session_.IsAborted()) JudgeDelete(number);
      }
    } else {
      for (const std::int32_t number : held) {
        if (!session_.IsAborted()) Delete(number);
      }
    }
    return true;
  }

  void Delete(std::int32_t number) {
    net::SendLine(session_, "DELE " + std::to_string(number));
    JudgeDelete(number);
  }

  // The reply to DELE n.
  void JudgeDelete(std::int32_t number) {
    const std::string n = std::to_string(number);
    const net::Reply reply = ReadPop3Reply(session_, net::Echo::Quiet);
    if (IsOk(reply) || session_.IsAborted()) return;
    Log(session_, "-- Message " + n + " could not be deleted on the server (" + reply.last() + ")");
    session_.NoteShortfall("message " + n, reply.last());
  }

  // TOP n 1, unless it went out with the LIST: the head lines, read up to
  // the "." line.
  Head ReadHeader(std::int32_t number, bool sent) {
    const std::string n = std::to_string(number);
    header_.Clear();
    if (!sent) net::SendLine(session_, TopCommand(n));
    const net::Reply status = ReadPop3Reply(session_, net::Echo::Quiet);
    if (!status.ok()) return Head::Lost;
    if (IsListReply(status.last())) {
      OutOfStep(number,
                "The reply to " + TopCommand(n) + " is a LIST reply (" + status.last() + ")");
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

  net::NetSession& session_;
  const config::Configuration& configuration_;
  core::FrontEnd& front_end_;
  MessageIntake intake_;
  std::map<std::int32_t, std::string> unique_ids_;  // by message number
  std::vector<std::int32_t> held_;                  // taken, to be deleted once on the disk
  HeaderLines header_;                              // of the head last read
  std::string message_id_;                          // of the message being taken
  MailboxSize size_;
  net::ReadBounds message_bounds_;  // of the message being read
  std::uint64_t listed_size_ = 0;   // of the message being read, as LIST gave it
  bool out_of_step_ = false;        // a reply did not answer its command: no more DELE
  bool heads_read_ = false;         // the server has given a head this run
  bool pipelining_ = false;         // the server takes commands ahead of its replies
  std::uint64_t skipped_ = 0;       // messages the filters left on the server
};

}  // namespace

MailboxSize ParseStatReply(std::string_view reply) {
  MailboxSize size;
  std::string_view rest = reply.substr(reply.size() < 4 ? reply.size() : 4);
  const auto blank = rest.find(' ');
  if (blank == std::string_view::npos) return size;
  size.messages = core::TextToInt(rest.substr(0, blank));
  rest.remove_prefix(blank + 1);
  // In 64 bits, since a mailbox may hold more than 2 GiB; 0 when no number.
  const std::string_view octets = rest.substr(0, rest.find(' '));
  (void)std::from_chars(octets.data(), octets.data() + octets.size(), size.bytes);
  return size;
}

net::Endpoint Pop3Endpoint(const config::Configuration& configuration) {
  return {configuration.POPSERVER, configuration.POPPORT, "pop3", kDefaultPop3Port,
          configuration.NETTIMEOUT};
}

void RunPop3Dialogue(net::NetSession& session, const config::Configuration& configuration,
                     const SentMessages* sent) {
  Pop3Walk(session, configuration, sent).Run();
}

}  // namespace kestrel::receive
