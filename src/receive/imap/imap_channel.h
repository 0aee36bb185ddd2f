// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The IMAP conversation's two directions (RFC 3501): tagged commands out,
// response lines in with the literals they announce. Every response is read
// within bounds of bytes, lines and time, so that an endless literal, an
// endless line or a flood of untagged lines ends the job with a line rather
// than holding it or its memory.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/stopwatch.h"
#include "net/net_session.h"
#include "net/reply.h"
#include "net/step_result.h"

namespace kestrel::receive {

// A response line without its literals: real ones are well below this.
inline constexpr std::size_t kMaxImapLine = 16 * 1024;
// A command line: room for an AUTHENTICATE with a provider's bearer token.
inline constexpr std::size_t kMaxImapCommandLine = net::kMaxSaslLine;

// What a response may cost: bytes (literals included), lines and time.
struct ImapBounds {
  net::ReadBounds read;
  std::size_t max_lines = net::kMaxReplyLines;
};
inline constexpr ImapBounds kImapReplyBounds{net::kReplyBounds, net::kMaxReplyLines};

struct ImapLine {
  std::string text;                      // without CR LF
  std::optional<std::uint64_t> literal;  // the size of the literal announced at its end
  bool continued = false;                // goes on with the response after a literal
};

enum class ImapStatus {
  Ok,
  No,
  Bad,
  Continue,  // "+": the server waits for more of the command
  Failed,    // no complete response: the session is aborted or closed
};

struct ImapResult {
  ImapStatus status = ImapStatus::Failed;
  std::string line;  // the line that ended the response
  [[nodiscard]] bool ok() const { return status == ImapStatus::Ok; }
};

// The literal announced at the end of `line` ("{123}", "~{123}"), if any.
[[nodiscard]] std::optional<std::uint64_t> AnnouncedLiteral(std::string_view line);
// A string as an IMAP quoted string; nothing when it holds a character that
// only a literal could carry (CR, LF, NUL, 8-bit).
[[nodiscard]] std::optional<std::string> Quoted(std::string_view text);

class ImapChannel {
 public:
  explicit ImapChannel(net::NetSession& session) : session_(session) {}

  [[nodiscard]] net::NetSession& session() { return session_; }

  // Sends "<tag> command" and returns the tag; `shown` stands in the log
  // for a command that carries a secret.
  std::string Send(std::string_view command);
  std::string SendSecret(std::string_view command, std::string_view shown);
  // A line that continues a command (a SASL response, IDLE's DONE).
  void SendContinuation(std::string_view line, bool secret);

  // Starts the bounds of one response.
  void Begin(const ImapBounds& bounds);
  // The next line within the bounds; nothing when it failed (with a line
  // and the session aborted, or closed).
  [[nodiscard]] std::optional<ImapLine> ReadLine(net::Echo echo);
  // A literal read whole into memory; nothing when it failed.
  [[nodiscard]] std::optional<std::string> ReadLiteral(std::uint64_t size);
  // A literal read and dropped.
  [[nodiscard]] bool SkipLiteral(std::uint64_t size);
  // A literal is about to be read by another reader (the message data):
  // counts it against the bounds and gives back what is buffered.
  [[nodiscard]] bool HandOver(std::uint64_t size);

  // The rest of an untagged response whose first line was read: its
  // literals are dropped. False when that failed.
  [[nodiscard]] bool SkipRestOf(const ImapLine& line, net::Echo echo);

  // Reads to the end of the response tagged `tag` (or a "+" line when
  // `until_continuation`): each line of an untagged response goes to
  // `untagged` (those after a literal marked `continued`), which may read
  // the literal; one it left unread is dropped here.
  using Untagged = std::function<void(const ImapLine& line)>;
  ImapResult Finish(const std::string& tag, const ImapBounds& bounds, net::Echo echo,
                    const Untagged& untagged = {}, bool until_continuation = false);
  // The same, with the bounds already begun (a response whose first lines
  // the caller read itself).
  ImapResult FinishBegun(const std::string& tag, net::Echo echo, const Untagged& untagged = {},
                         bool until_continuation = false);
  // The literal of the line being handled was read by the handler.
  void LiteralTaken() { literal_taken_ = true; }

  // The folder's message count ("* n EXISTS", less each "* n EXPUNGE"), and
  // whether the folder grew since the last call: a count above the one
  // known, more RECENT messages or a higher UIDNEXT. An EXISTS that repeats
  // the count is no news.
  [[nodiscard]] std::int32_t exists() const { return exists_; }
  [[nodiscard]] bool TakeNews() { return std::exchange(news_, false); }
  // Bytes received and not yet read.
  [[nodiscard]] bool Buffered() const { return position_ < buffer_.size(); }

 private:
  // At least one more byte in the buffer; failed, with the reason, when
  // none came.
  net::StepResult Fill();
  // Counts `bytes` against the response's bounds; failed when beyond them.
  net::StepResult Charge(std::uint64_t bytes);
  // Logs "-- WHY, aborting" and aborts the session, unless it was aborted
  // before; failed with the reason that stands.
  net::StepResult Fail(const std::string& why);
  [[nodiscard]] std::optional<ImapLine> ReadText(net::Echo echo);
  // What an untagged first line says of the folder's size.
  void Observe(std::string_view text);

  net::NetSession& session_;
  std::string buffer_;
  std::size_t position_ = 0;
  unsigned tag_number_ = 0;
  ImapBounds bounds_ = kImapReplyBounds;
  std::uint64_t bytes_left_ = 0;
  std::size_t lines_ = 0;
  core::Stopwatch clock_;
  bool literal_taken_ = false;
  std::int32_t exists_ = 0;
  std::uint32_t recent_ = 0;
  std::uint32_t uid_next_ = 0;
  bool news_ = false;
};

}  // namespace kestrel::receive
