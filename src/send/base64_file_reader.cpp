// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/base64_file_reader.h"

#include <algorithm>

namespace kestrel::send {

Base64FileReader::Base64FileReader(std::FILE* file) : file_(file), chunk_(kChunkBytes) {}

bool Base64FileReader::Refill() {
  chunk_pos_ = 0;
  chunk_size_ = 0;
  // Fill the whole chunk unless the file ends: short reads inside the chunk
  // must not produce short blocks, which would end the attachment early.
  while (chunk_size_ < chunk_.size() && !eof_) {
    const std::size_t got =
        std::fread(chunk_.data() + chunk_size_, 1, chunk_.size() - chunk_size_, file_);
    chunk_size_ += got;
    if (got == 0) {
      if (std::ferror(file_)) {
        failed_ = true;
        return false;
      }
      eof_ = true;
    }
  }
  return true;
}

bool Base64FileReader::Next(Line& line_r) {
  if (done_ || failed_) return false;
  if (chunk_pos_ >= chunk_size_ && !eof_ && !Refill()) return false;
  // chunk_ holds whole blocks unless the file ended inside it.
  const std::size_t count = std::min(core::kBase64BlockBytes, chunk_size_ - chunk_pos_);
  const std::size_t length =
      core::EncodeBase64Block(chunk_.data() + chunk_pos_, count, line_.data());
  chunk_pos_ += count;
  bytes_read_ += count;
  if (count < core::kBase64BlockBytes) done_ = true;
  line_r.text = std::string_view(line_.data(), length);
  line_r.data_bytes = count;
  return true;
}

}  // namespace kestrel::send
