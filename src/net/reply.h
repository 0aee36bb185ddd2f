// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Reading a server's replies: one reader for replies to commands, whose end
// the protocol defines, and one for dot-terminated lists (capabilities, the
// head of a message). Both are bounded in line length, line count and time,
// and say how they ended.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/net_session.h"

namespace kestrel::net {

// A reply of more lines than this is no reply: the session is aborted.
inline constexpr std::size_t kMaxReplyLines = 100;

// How much a server may send for one reply or list, and for how long. Past
// either the session is aborted with a line that says so: a server that
// sends without end must not hold a job for ever.
struct ReadBounds {
  std::uint64_t max_bytes = 0;
  int max_seconds = 0;
};
// A reply to a command: real ones are a few lines of a few hundred bytes.
inline constexpr ReadBounds kReplyBounds{64 * 1024, 300};
// The slowest average rate a transfer may keep, after a grace of
// kTransferGraceSeconds: far below any dial-up line.
inline constexpr std::uint64_t kMinBytesPerSecond = 1024;
inline constexpr int kTransferGraceSeconds = 300;
// Bounds for `bytes` of data at no less than the slowest rate.
[[nodiscard]] ReadBounds TransferBounds(std::uint64_t bytes);

enum class ReplyStatus {
  Ok,        // the reply arrived whole
  Closed,    // the server closed (or reset) the connection first
  TimedOut,  // NETTIMEOUT passed without a complete line
  Aborted,   // stopped, or the session had already failed
};

struct Reply {
  ReplyStatus status = ReplyStatus::Aborted;
  // The three digits that start the last line, else 0.
  int code = 0;
  // The lines received, without CR LF, each cut to kMaxReplyLine.
  std::vector<std::string> lines;
  // Lines of a list beyond the caller's limit, read and dropped.
  std::size_t dropped = 0;

  [[nodiscard]] bool ok() const { return status == ReplyStatus::Ok; }
  // The last line; empty when none arrived.
  [[nodiscard]] std::string last() const { return lines.empty() ? std::string() : lines.back(); }
};

// Whether the lines of a reply are logged ("<- " + line) as they arrive.
enum class Echo { Logged, Quiet };

// What a protocol says about its replies.
class ReplyRules {
 public:
  virtual ~ReplyRules() = default;
  // True when `line` ends the reply.
  [[nodiscard]] virtual bool IsLastLine(std::string_view line) const = 0;
  // Sees each line before it is logged (to add a remark of its own).
  virtual void Inspect(NetSession& /*session*/, std::string_view /*line*/) const {}
};

// Reads one reply up to the line that ends it, within kReplyBounds. A line
// that could not be read whole is logged as "<- " (when echoing) and ends
// the reply.
[[nodiscard]] Reply ReadReply(NetSession& session, const ReplyRules& rules, Echo echo);

// Reads the lines of a list up to the line "." (logged, but not kept) within
// `bounds`; keeps at most `max_lines` of them and counts the rest in
// `dropped`.
[[nodiscard]] Reply ReadDotList(NetSession& session, std::size_t max_lines, Echo echo,
                                const ReadBounds& bounds);

}  // namespace kestrel::net
