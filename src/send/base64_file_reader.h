// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A file streamed into BASE64 lines for an attachment through one fixed
// buffer, so memory use does not depend on the file's size.

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "core/base64.h"

namespace kestrel::send {

// Reads an open file block by block and hands out one encoded line per block.
// The last line comes from the first block that holds fewer than 57 bytes
// (possibly none), so a file of 57 x n bytes ends with one empty line, and an
// empty file gives exactly one empty line.
class Base64FileReader {
 public:
  // The file stays owned by the caller and must outlive the reader.
  explicit Base64FileReader(std::FILE* file);

  struct Line {
    std::string_view text;   // valid until the next call
    std::size_t data_bytes;  // file bytes this line carries (0 to 57)
  };

  // The next line; false once the last line was handed out, or on a read
  // error (see failed()).
  [[nodiscard]] bool Next(Line& line_r);

  // True when reading the file failed: what was sent is incomplete, so the
  // message must not be ended (the caller aborts instead of sending the ".").
  [[nodiscard]] bool failed() const { return failed_; }
  [[nodiscard]] std::uint64_t bytes_read() const { return bytes_read_; }

 private:
  // Bytes read from the file at once: a whole number of blocks (about 64 KiB).
  static constexpr std::size_t kChunkBytes = core::kBase64BlockBytes * 1150;

  bool Refill();

  std::FILE* file_;
  std::vector<std::uint8_t> chunk_;  // kChunkBytes, allocated once
  std::size_t chunk_size_ = 0;
  std::size_t chunk_pos_ = 0;
  bool eof_ = false;
  bool done_ = false;
  bool failed_ = false;
  std::uint64_t bytes_read_ = 0;
  std::array<char, core::kBase64LineChars> line_{};
};

}  // namespace kestrel::send
