// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The header of a stored message (*.MSG): 190 bytes, then the text, which
// ends at a NUL or at the end of the file.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/le_bytes.h"

namespace kestrel::fido {

inline constexpr std::size_t kStoredMessageHeaderSize = 190;
// The subject field; a subject written back keeps its NUL inside it.
inline constexpr std::size_t kStoredSubjectSize = 72;

struct StoredMessageHeader {
  std::string from_name;  // 36-byte fields, each up to its NUL
  std::string to_name;
  std::string subject;    // 72 bytes
  std::string date_time;  // the 20 bytes as they stand, NUL padding and all
  std::uint16_t times_read = 0;
  std::uint16_t dest_node = 0;
  std::uint16_t orig_node = 0;
  std::uint16_t cost = 0;
  std::uint16_t orig_net = 0;
  std::uint16_t dest_net = 0;
  std::uint16_t dest_zone = 0;  // the 8 bytes at 176: zones and points
  std::uint16_t orig_zone = 0;
  std::uint16_t dest_point = 0;
  std::uint16_t orig_point = 0;
  std::uint16_t reply_to = 0;
  std::uint16_t attribute = 0;  // attributes.h
  std::uint16_t next_reply = 0;
  friend bool operator==(const StoredMessageHeader&, const StoredMessageHeader&) = default;
};

// Reads the header, leaving the reader at the text; nothing when the bytes
// end before the header does.
[[nodiscard]] std::optional<StoredMessageHeader> ParseStoredMessageHeader(core::ByteReader& reader);

// The 190 bytes of the header; text fields cut or NUL-padded to their size.
void WriteStoredMessageHeader(core::ByteWriter& writer, const StoredMessageHeader& header);

// The subject field or the attribute word of a whole stored message (at
// least its header) rewritten where it lies; every other byte stays as it is.
void RewriteStoredSubject(std::string& message, std::string_view subject);
void RewriteStoredAttribute(std::string& message, std::uint16_t attribute);

}  // namespace kestrel::fido
