// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The header of a message packed in a packet: 14 fixed bytes and a 20-byte
// date, then the names and the subject, each ended by a NUL. The text and its
// NUL follow.

#include <cstdint>
#include <optional>
#include <string>

#include "core/le_bytes.h"

namespace kestrel::fido {

// The fixed part, up to the names: type, addresses, attribute, cost, date.
inline constexpr std::size_t kPackedMessageFixedSize = 34;
inline constexpr std::uint16_t kPackedMessageType = 2;

struct PackedMessageHeader {
  std::uint16_t message_type = kPackedMessageType;
  std::uint16_t orig_node = 0;
  std::uint16_t dest_node = 0;
  std::uint16_t orig_net = 0;
  std::uint16_t dest_net = 0;
  std::uint16_t attribute = 0;  // attributes.h
  std::uint16_t cost = 0;
  std::string date_time;  // the 20 bytes as they stand, NUL padding and all
  std::string to_name;
  std::string from_name;
  std::string subject;
  friend bool operator==(const PackedMessageHeader&, const PackedMessageHeader&) = default;
};

// The fixed part alone (names and subject left empty), for a reader that
// holds no more than that; nothing when it is cut off.
[[nodiscard]] std::optional<PackedMessageHeader> ParsePackedMessageFixedPart(
    core::ByteReader& reader);

// The whole header, leaving the reader at the text; nothing when it is cut
// off, a name or the subject included.
[[nodiscard]] std::optional<PackedMessageHeader> ParsePackedMessageHeader(core::ByteReader& reader);

// The fixed part (the date cut or NUL-padded to 20 bytes), then the names and
// the subject, each with its NUL.
void WritePackedMessageHeader(core::ByteWriter& writer, const PackedMessageHeader& header);

}  // namespace kestrel::fido
