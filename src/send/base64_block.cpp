#include "send/base64_block.h"

#include <algorithm>

namespace kestrel::send {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::size_t EncodeBase64Block(const std::uint8_t* block, std::size_t count, char* out) {
  count = std::min(count, kBase64BlockBytes);
  std::size_t length = 0;
  std::size_t i = 0;
  for (; i + 3 <= count; i += 3) {
    const std::uint32_t group =
        (std::uint32_t{block[i]} << 16) | (std::uint32_t{block[i + 1]} << 8) | block[i + 2];
    out[length++] = kAlphabet[(group >> 18) & 63];
    out[length++] = kAlphabet[(group >> 12) & 63];
    out[length++] = kAlphabet[(group >> 6) & 63];
    out[length++] = kAlphabet[group & 63];
  }
  const std::size_t rest = count - i;
  if (rest > 0) {
    // The missing bytes count as zero, so the spare bits of the last character are zero.
    const std::uint32_t group =
        (std::uint32_t{block[i]} << 16) | (rest == 2 ? std::uint32_t{block[i + 1]} << 8 : 0);
    out[length++] = kAlphabet[(group >> 18) & 63];
    out[length++] = kAlphabet[(group >> 12) & 63];
    out[length++] = rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
    out[length++] = '=';
  }
  return length;
}

std::string EncodeBase64Block(const std::uint8_t* block, std::size_t count) {
  char out[kBase64LineChars];
  return std::string(out, EncodeBase64Block(block, count, out));
}

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
  const std::size_t count = std::min(kBase64BlockBytes, chunk_size_ - chunk_pos_);
  const std::size_t length = EncodeBase64Block(chunk_.data() + chunk_pos_, count, line_.data());
  chunk_pos_ += count;
  bytes_read_ += count;
  if (count < kBase64BlockBytes) done_ = true;
  line_r.text = std::string_view(line_.data(), length);
  line_r.data_bytes = count;
  return true;
}

}  // namespace kestrel::send
