// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/partial/partial_set_reader.h"

#include <cerrno>

#include "platform/error_text.h"

namespace kestrel::receive {

std::size_t PartialSetReader::Read(char* buffer, std::size_t capacity) {
  while (error_.empty()) {
    if (!piece_) {
      if (!set_.total || next_ > *set_.total) return 0;
      const std::string path = set_.PiecePath(next_++);
      piece_ = platform::OpenFile(path, "rb");
      if (!piece_) error_ = path + ": " + platform::ErrorText(errno);
      continue;
    }
    const std::size_t count = std::fread(buffer, 1, capacity, piece_.get());
    if (count > 0) return count;
    if (std::ferror(piece_.get())) {
      error_ = set_.PiecePath(next_ - 1) + ": " + platform::ErrorText(errno);
    }
    piece_.reset();
  }
  return 0;
}

}  // namespace kestrel::receive
