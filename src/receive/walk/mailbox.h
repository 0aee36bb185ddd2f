// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// What the walk over a mailbox needs of a server, whatever protocol it
// speaks: the heads of the next messages, their whole data through the
// intake, a fetch that only compares, and the removal of messages taken.
// How each is asked (windows, pipelining, matching replies to commands)
// stays with the protocol.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "net/net_session.h"
#include "net/step_result.h"
#include "receive/intake/attachment_decoder.h"
#include "receive/intake/header_filter.h"

namespace kestrel::receive {

// Messages looked at in one walk, whatever count the server announces.
inline constexpr std::size_t kMaxWalkMessages = 100'000;
// What a server may send beyond a message's announced size (line ends it
// counts as one byte, dot-stuffing, the status lines).
inline constexpr std::uint64_t kSizeSlackBytes = 64 * 1024;

// The bytes a server may send for a message of `size` octets: a quarter
// more, and some.
[[nodiscard]] constexpr std::uint64_t WithSlack(std::uint64_t size) {
  return size + size / 4 + kSizeSlackBytes;
}

struct MailboxMessage {
  std::uint64_t number = 0;  // what the log calls it: POP3's message number, IMAP's UID
  std::size_t index = 0;     // where the mailbox keeps it in its own listing
  std::string unique_id;     // its lasting name for the journal; empty when there is none
  std::string message_id;    // of its head
  std::uint64_t size = 0;    // as the server announced it
};

// What one step of the walk came to: on to the next, or the walk ends here.
// It ends with the session sound (a Stop, replies in doubt, a disk that
// failed) or failed (aborted, with the session's reason).
class [[nodiscard]] WalkStep {
 public:
  [[nodiscard]] static WalkStep On() { return WalkStep(true, net::StepResult::Ok()); }
  [[nodiscard]] static WalkStep Ends() { return WalkStep(false, net::StepResult::Ok()); }
  // After an exchange with the server: on, unless the session was aborted.
  [[nodiscard]] static WalkStep Of(const net::NetSession& session) {
    net::StepResult result = net::StepResult::Of(session);
    const bool on = result.ok();
    return WalkStep(on, std::move(result));
  }

  [[nodiscard]] bool on() const { return on_; }
  // Failed when the session was aborted.
  [[nodiscard]] const net::StepResult& session() const { return session_; }

 private:
  WalkStep(bool on, net::StepResult session) : on_(on), session_(std::move(session)) {}

  bool on_;
  net::StepResult session_;
};

// What became of a message's data.
enum class [[nodiscard]] DataFate{
    Held,     // whole: it leaves the server once its batch is on the disk
    Left,     // it stays on the server; the walk goes on
    Refused,  // it stays, and so does every later one: the disk failed
};

// The walk's side of what a mailbox reads.
class MailboxReader {
 public:
  // The head of a message, as it is read: true when the filters take it.
  [[nodiscard]] virtual bool Offer(MailboxMessage message, const HeaderLines& head) = 0;
  // Once the heads offered so far are read to their end and nothing is due
  // from the server: the last one taken, when the journal may know it, is
  // compared now, those taken before it fetched first. A mailbox whose
  // replies are still due leaves that to the end of the window.
  virtual WalkStep Settle() = 0;
  // The data of a message being taken, read into its saved text.
  virtual DataFate Received(const MailboxMessage& message, const MessageOutcome& outcome) = 0;

 protected:
  ~MailboxReader() = default;
};

// How the next window of heads came out.
enum class [[nodiscard]] Heads{
    Window,  // the heads of a window were offered; more may follow
    Last,    // the heads were offered, and the walk ends once their messages are taken
    Done,    // every message was looked at
    Ended,   // the walk ends now (a Stop, replies in doubt, an abort)
};

// Messages held since the batch last went to the disk, by their announced sizes.
struct BatchLoad {
  std::size_t messages = 0;
  std::uint64_t bytes = 0;
};

// The data of a window of messages taken.
struct [[nodiscard]] Taking {
  WalkStep step;
  // The messages held in it may leave the server once on the disk; else
  // they stay there, and a later walk finds them received.
  bool removable = true;
};

class Mailbox {
 public:
  // The heads of the next window of messages, offered to `reader` one by one.
  virtual Heads NextHeads(MailboxReader& reader) = 0;
  // A Stop between commands: true, with its shortfall noted, when the walk
  // must end.
  [[nodiscard]] virtual bool Stopped() = 0;
  // How many of `run` (messages none of which the journal may know, but
  // perhaps the first, `compared` before) go to the server together: at
  // least one.
  [[nodiscard]] virtual std::size_t TakeCount(std::span<const MailboxMessage> run, bool compared,
                                              const BatchLoad& load) const = 0;
  // The batch should go to the disk before the next message is taken.
  [[nodiscard]] virtual bool BatchDue(const BatchLoad& load) const = 0;
  // The whole data of `window`, each message into its saved text through
  // the intake and on to `reader`.
  virtual Taking Take(std::span<const MailboxMessage> window, MailboxReader& reader) = 0;
  // A message the journal may know, fetched once without writing anything:
  // the fingerprint of its content, when it came whole.
  [[nodiscard]] virtual std::optional<std::string> Fingerprint(const MailboxMessage& message,
                                                               WalkStep& step) = 0;
  // What removing a message does, as the log says it: "deleting".
  [[nodiscard]] virtual std::string Removing() = 0;
  // Messages whose files are on the disk leave the server.
  virtual WalkStep Remove(std::span<const MailboxMessage> messages) = 0;

 protected:
  ~Mailbox() = default;
};

}  // namespace kestrel::receive
