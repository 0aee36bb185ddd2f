// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/le_bytes.h"

namespace kestrel::core {

bool ByteReader::Take(std::size_t size, std::string_view& bytes_r) {
  if (failed_ || bytes_.size() - offset_ < size) {
    failed_ = true;
    return false;
  }
  bytes_r = bytes_.substr(offset_, size);
  offset_ += size;
  return true;
}

std::uint8_t ByteReader::U8() {
  std::string_view bytes;
  return Take(1, bytes) ? static_cast<std::uint8_t>(bytes[0]) : 0;
}

std::uint16_t ByteReader::U16le() {
  std::string_view bytes;
  if (!Take(2, bytes)) return 0;
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[0]) |
                                    (static_cast<std::uint8_t>(bytes[1]) << 8));
}

std::uint32_t ByteReader::U32le() {
  std::string_view bytes;
  if (!Take(4, bytes)) return 0;
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) value = (value << 8) | static_cast<std::uint8_t>(bytes[i]);
  return value;
}

std::string ByteReader::FixedString(std::size_t size) {
  std::string_view field;
  if (!Take(size, field)) return {};
  return std::string(field.substr(0, field.find('\0')));
}

std::string_view ByteReader::Bytes(std::size_t size) {
  std::string_view bytes;
  return Take(size, bytes) ? bytes : std::string_view();
}

std::string ByteReader::ZeroEndedString() {
  const std::size_t end = Rest().find('\0');
  std::string_view text;
  if (end == std::string_view::npos || !Take(end + 1, text)) {
    failed_ = true;
    return {};
  }
  return std::string(text.substr(0, end));
}

std::string_view ByteReader::Rest() const {
  return failed_ ? std::string_view() : bytes_.substr(offset_);
}

void ByteWriter::U8(std::uint8_t value) {
  out_.push_back(static_cast<char>(value));
}

void ByteWriter::U16le(std::uint16_t value) {
  out_.push_back(static_cast<char>(value & 0xFF));
  out_.push_back(static_cast<char>(value >> 8));
}

void ByteWriter::U32le(std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out_.push_back(static_cast<char>(value >> shift));
}

void ByteWriter::FixedString(std::string_view value, std::size_t size) {
  const std::string_view field = value.substr(0, size);
  out_.append(field);
  out_.append(size - field.size(), '\0');
}

void ByteWriter::ZeroEndedString(std::string_view value) {
  out_.append(value);
  out_.push_back('\0');
}

}  // namespace kestrel::core
