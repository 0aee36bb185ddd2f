#include "send/file_bytes.h"

#include <algorithm>

#include "platform/files.h"

namespace kestrel::send {

namespace {

// Bytes read from a file at once.
constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

ReadOutcome ReadRest(std::FILE* file, std::uint64_t max_bytes, std::string& content_r) {
  content_r.clear();
  char buffer[kReadChunk];
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
    if (content_r.size() + got > max_bytes) return ReadOutcome::TooLarge;
    content_r.append(buffer, got);
    if (got < sizeof buffer) return std::ferror(file) ? ReadOutcome::ReadError : ReadOutcome::Ok;
  }
}

ReadOutcome ReadBoundedFile(std::string_view path, std::size_t min_bytes, std::uint64_t max_bytes,
                            std::string& content_r) {
  platform::UniqueFile file = platform::OpenFile(path, "rb");
  if (!file) return ReadOutcome::CannotOpen;
  const ReadOutcome outcome = ReadRest(file.get(), max_bytes, content_r);
  if (outcome != ReadOutcome::Ok) return outcome;
  return content_r.size() < min_bytes ? ReadOutcome::TooShort : ReadOutcome::Ok;
}

std::uint16_t ByteReader::U16le() {
  if (pos_ > bytes_.size() || bytes_.size() - pos_ < 2) {
    overrun_ = true;
    pos_ += 2;
    return 0;
  }
  const auto low = static_cast<std::uint8_t>(bytes_[pos_]);
  const auto high = static_cast<std::uint8_t>(bytes_[pos_ + 1]);
  pos_ += 2;
  return static_cast<std::uint16_t>(low | (high << 8));
}

std::string_view ByteReader::Bytes(std::size_t size) {
  if (pos_ >= bytes_.size()) {
    overrun_ = overrun_ || size > 0;
    pos_ += size;
    return {};
  }
  const std::size_t available = bytes_.size() - pos_;
  if (size > available) overrun_ = true;
  const std::string_view out = bytes_.substr(pos_, std::min(size, available));
  pos_ += size;
  return out;
}

std::string ByteReader::FixedString(std::size_t size) {
  const std::string_view field = Bytes(size);
  return std::string(field.substr(0, field.find('\0')));
}

void PutU16le(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

}  // namespace kestrel::send
