// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The data of a complete set of pieces read as the one message they were cut
// from: piece 1, then 2, ... as one stream of bytes, through one buffer.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/files.h"
#include "receive/partial/partial_spool.h"

namespace kestrel::receive {

class PartialSetReader {
 public:
  explicit PartialSetReader(PartialSet set) : set_(std::move(set)) {}

  // Up to `capacity` bytes; 0 at the end, or when a piece cannot be read
  // (error() says which).
  [[nodiscard]] std::size_t Read(char* buffer, std::size_t capacity);
  [[nodiscard]] const std::string& error() const { return error_; }

 private:
  PartialSet set_;
  std::uint32_t next_ = 1;
  platform::UniqueFile piece_;
  std::string error_;
};

}  // namespace kestrel::receive
