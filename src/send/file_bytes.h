#pragma once
// Reading stored FidoNet files (messages, packets) that are untrusted: bounded
// whole-file reads and a cursor over little-endian fields that never reads past
// its end.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace kestrel::send {

enum class ReadOutcome { Ok, CannotOpen, TooShort, TooLarge, ReadError };

// Reads a file whole when it holds at least min_bytes and at most max_bytes.
[[nodiscard]] ReadOutcome ReadBoundedFile(std::string_view path, std::size_t min_bytes,
                                          std::uint64_t max_bytes, std::string& content_r);

// Reads a whole open file from its current position, at most max_bytes.
[[nodiscard]] ReadOutcome ReadRest(std::FILE* file, std::uint64_t max_bytes,
                                   std::string& content_r);

// A cursor over bytes: every read is checked against the end; a read past it
// yields zeros and marks the reader as overrun.
class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes, std::size_t offset = 0)
      : bytes_(bytes), pos_(offset) {}
  [[nodiscard]] std::uint16_t U16le();
  // Up to the first zero byte within the next `size` bytes; always moves by size.
  [[nodiscard]] std::string FixedString(std::size_t size);
  // The next `size` bytes unchanged (fewer at the end).
  [[nodiscard]] std::string_view Bytes(std::size_t size);
  void Seek(std::size_t offset) { pos_ = offset; }
  [[nodiscard]] bool overrun() const { return overrun_; }

 private:
  std::string_view bytes_;
  std::size_t pos_;
  bool overrun_ = false;
};

// Appends a 16-bit value least significant byte first.
void PutU16le(std::string& out, std::uint16_t value);

}  // namespace kestrel::send
