// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/base64_file_reader.h"

namespace kestrel::send {

Base64FileReader::Base64FileReader(std::FILE* file, std::uint64_t max_lines)
    : file_(file), chunk_(kChunkBytes), text_(kTextBytes), lines_left_(max_lines) {}

bool Base64FileReader::Next(Lines& lines_r) {
  if (done_ || failed_ || lines_left_ == 0) return false;
  // Fill the whole chunk unless the file ends: a short read inside the chunk
  // must not produce a short block, which would end the attachment early.
  const std::size_t want = lines_left_ < chunk_.size() / mime::kBase64BlockBytes
                               ? static_cast<std::size_t>(lines_left_) * mime::kBase64BlockBytes
                               : chunk_.size();
  std::size_t size = 0;
  bool eof = false;
  while (size < want && !eof) {
    const std::size_t got = std::fread(chunk_.data() + size, 1, want - size, file_);
    size += got;
    if (got == 0) {
      if (std::ferror(file_)) {
        failed_ = true;
        return false;
      }
      eof = true;
    }
  }
  bytes_read_ += size;
  std::size_t length = 0;
  std::size_t at = 0;
  for (;;) {
    const std::size_t count = std::min(mime::kBase64BlockBytes, size - at);
    length += mime::EncodeBase64Block(chunk_.data() + at, count, text_.data() + length);
    text_[length++] = '\r';
    text_[length++] = '\n';
    at += count;
    if (count < mime::kBase64BlockBytes || --lines_left_ == 0) {
      done_ = true;
      break;
    }
    if (at == size && !eof) break;  // the chunk was full: more may follow
  }
  lines_r.text = std::string_view(text_.data(), length);
  lines_r.data_bytes = size;
  return true;
}

}  // namespace kestrel::send
