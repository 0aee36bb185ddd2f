// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The buffered reader for the data of a RETR reply: lines from a raw byte
// source through one fixed buffer, with the POP3 transparency
// undone (RFC 1939: a line beginning with ".." stands for one beginning with
// ".", and a line of "." alone ends the data). Only CR LF ends a line: a
// lone CR or LF is data, so that no content of a message can end its data
// early and put the dialogue out of step, and binary parts keep every byte.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::receive {

// Bytes fetched from the connection in one read: large, as every read is a
// system call and a wait.
inline constexpr std::size_t kBodyBufferBytes = 64 * 1024;
// RFC 5322's line limit: a conforming line arrives whole; a longer one comes
// in pieces of this size that the caller joins again.
inline constexpr std::size_t kMaxBodyPiece = 998;

enum class BodyStatus {
  Piece,      // a piece of a line (usually the whole line)
  EndOfData,  // the "." line
  NoData,     // the source gave nothing more (closed, time-out, Stop)
};

struct BodyPiece {
  std::string text;        // without line end, dot-stuffing removed
  bool line_ends = false;  // false: the next piece continues this line
};

class BodyReader {
 public:
  // Reads up to `capacity` bytes into the buffer; 0 when no data came.
  using Source = std::function<std::size_t(char* buffer, std::size_t capacity)>;

  explicit BodyReader(Source source) : source_(std::move(source)) {}

  // Empties the buffer and starts at the beginning of a line. Data of a
  // known length (an IMAP literal) ends after `counted` bytes, with no dot
  // rules; without it the data ends at the "." line.
  void Reset(std::optional<std::uint64_t> counted = std::nullopt);

  // The next piece. On NoData the unfinished piece is dropped: the message
  // is incomplete anyway.
  [[nodiscard]] BodyStatus ReadBodyLine(BodyPiece& piece);

  // The bytes fetched beyond the end of the data (nothing, from a server
  // that keeps to the protocol): they belong to what follows.
  [[nodiscard]] std::string_view Unread() const;

 private:
  Source source_;
  std::array<char, kBodyBufferBytes> buffer_{};
  std::size_t fill_ = 0;
  std::size_t position_ = 0;
  bool at_line_start_ = true;
  bool held_cr_ = false;  // a CR ended the buffer: a line end if a LF follows
  bool counted_ = false;
  std::uint64_t remaining_ = 0;  // of counted data, not yet fetched
};

}  // namespace kestrel::receive
