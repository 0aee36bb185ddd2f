#pragma once
// A bounded cursor over FidoNet bytes: little-endian numbers read byte by
// byte, never past the end. Each read says whether the bytes were there.

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::outbound {

class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}

  [[nodiscard]] std::size_t offset() const { return offset_; }
  [[nodiscard]] std::size_t remaining() const { return bytes_.size() - offset_; }

  // Moves to an absolute offset; false (cursor unchanged) beyond the end.
  bool Seek(std::size_t offset) {
    if (offset > bytes_.size()) return false;
    offset_ = offset;
    return true;
  }
  bool U16le(std::uint16_t& value) {
    if (remaining() < 2) return false;
    const auto lo = static_cast<unsigned char>(bytes_[offset_]);
    const auto hi = static_cast<unsigned char>(bytes_[offset_ + 1]);
    value = static_cast<std::uint16_t>(lo | (hi << 8));
    offset_ += 2;
    return true;
  }
  // A text field of `size` bytes, up to its first NUL (all of it without one).
  bool FixedString(std::size_t size, std::string& value) {
    if (remaining() < size) return false;
    const std::string_view field = bytes_.substr(offset_, size);
    value.assign(field.substr(0, field.find('\0')));
    offset_ += size;
    return true;
  }

 private:
  std::string_view bytes_;
  std::size_t offset_ = 0;
};

}  // namespace kestrel::outbound
