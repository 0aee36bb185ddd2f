// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Little-endian records read and written byte by byte, never by casting bytes
// to structs: FidoNet files, HIGHEST.DAT, the window position file.

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::core {

// A cursor over bytes that never reads past their end. A read that does not
// fit reads nothing, gives 0 or an empty value and marks the reader failed for
// good (later reads give nothing too), so a parser reads a whole record and
// asks once whether it was all there.
class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}

  [[nodiscard]] std::uint8_t U8();
  [[nodiscard]] std::uint16_t U16le();
  [[nodiscard]] std::uint32_t U32le();
  // A text field of `size` bytes, up to its first NUL (all of it without one).
  [[nodiscard]] std::string FixedString(std::size_t size);
  // The next `size` bytes as they stand.
  [[nodiscard]] std::string_view Bytes(std::size_t size);
  // The text up to the next NUL, which is read too; fails without a NUL.
  [[nodiscard]] std::string ZeroEndedString();

  // The bytes not read yet (none once failed); the cursor stays.
  [[nodiscard]] std::string_view Rest() const;
  [[nodiscard]] bool failed() const { return failed_; }

 private:
  // The next `size` bytes, moving past them; false (and failed) when short.
  bool Take(std::size_t size, std::string_view& bytes_r);

  std::string_view bytes_;
  std::size_t offset_ = 0;
  bool failed_ = false;
};

// Appends to a string what ByteReader reads.
class ByteWriter {
 public:
  explicit ByteWriter(std::string& out) : out_(out) {}

  void U8(std::uint8_t value);
  void U16le(std::uint16_t value);
  void U32le(std::uint32_t value);
  // Exactly `size` bytes: the value cut to the field or padded with NULs, so a
  // value that fills its field has no NUL.
  void FixedString(std::string_view value, std::size_t size);
  // The value and a NUL.
  void ZeroEndedString(std::string_view value);

 private:
  std::string& out_;
};

}  // namespace kestrel::core
