// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A file streamed into BASE64 lines for an attachment through fixed buffers,
// so memory use does not depend on the file's size.

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string_view>
#include <vector>

#include "mime/base64.h"

namespace kestrel::send {

// Reads an open file chunk by chunk and hands out the encoded lines of each
// chunk at once, every line ended by CR LF. A line carries 57 bytes; the last
// line comes from the first block that holds fewer (possibly none), so a file
// of 57 x n bytes ends with one empty line, and an empty file gives exactly
// one empty line.
class Base64FileReader {
 public:
  // The file stays owned by the caller and must outlive the reader. With
  // max_lines, reading stops after that many lines: a run of a file's lines
  // (read from where the file stands) for one piece of a split message.
  explicit Base64FileReader(std::FILE* file, std::uint64_t max_lines = kAllLines);

  static constexpr std::uint64_t kAllLines = std::numeric_limits<std::uint64_t>::max();

  struct Lines {
    std::string_view text;   // whole lines with CR LF; valid until the next call
    std::size_t data_bytes;  // file bytes these lines carry
  };

  // The next lines; false once the last line was handed out, or on a read
  // error (see failed()).
  [[nodiscard]] bool Next(Lines& lines_r);

  // True when reading the file failed: what was sent is incomplete, so the
  // message must not be ended (the caller aborts instead of sending the ".").
  [[nodiscard]] bool failed() const { return failed_; }
  [[nodiscard]] std::uint64_t bytes_read() const { return bytes_read_; }

 private:
  // Bytes read from the file at once: a whole number of blocks (about 64 KiB).
  static constexpr std::size_t kChunkBytes = mime::kBase64BlockBytes * 1150;
  // An encoded chunk: each block's line and its CR LF.
  static constexpr std::size_t kTextBytes =
      (kChunkBytes / mime::kBase64BlockBytes + 1) * (mime::kBase64LineChars + 2);

  // Fills the chunk; false on a read error.
  bool Refill();

  std::FILE* file_;
  std::vector<std::uint8_t> chunk_;  // kChunkBytes, allocated once
  std::vector<char> text_;           // kTextBytes, allocated once
  std::uint64_t lines_left_;
  bool done_ = false;
  bool failed_ = false;
  std::uint64_t bytes_read_ = 0;
};

}  // namespace kestrel::send
