// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The header of a type 2+ packet (*.PKT): 58 bytes, then the packed messages
// and a closing zero word. The zones stand twice, at 34/36 where type 2
// readers look and at 46/48 with the points for type 2+ readers.

#include <cstdint>
#include <optional>
#include <string>

#include "core/le_bytes.h"

namespace kestrel::fido {

inline constexpr std::size_t kPacketHeaderSize = 58;
inline constexpr std::uint16_t kPacketType = 2;
// The type 2+ capability word and its byte-swapped copy, which validates it.
inline constexpr std::uint16_t kCapabilityType2Plus = 0x0001;
inline constexpr std::uint16_t kCapabilityCopy = 0x0100;

struct PacketHeader {
  std::uint16_t orig_node = 0;
  std::uint16_t dest_node = 0;
  std::uint16_t year = 0;   // date and time the packet was made
  std::uint16_t month = 0;  // 0 = January
  std::uint16_t day = 0;
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
  std::uint16_t baud = 0;
  std::uint16_t packet_type = kPacketType;
  std::uint16_t orig_net = 0;
  std::uint16_t dest_net = 0;
  std::uint8_t product_code_low = 0;
  std::uint8_t revision_major = 0;
  std::string password;         // 8 bytes, up to its NUL
  std::uint16_t orig_zone = 0;  // at 34
  std::uint16_t dest_zone = 0;  // at 36
  std::uint16_t aux_net = 0;
  std::uint16_t capability_copy = kCapabilityCopy;
  std::uint8_t product_code_high = 0;
  std::uint8_t revision_minor = 0;
  std::uint16_t capability_word = kCapabilityType2Plus;
  std::uint16_t orig_zone_2plus = 0;  // at 46
  std::uint16_t dest_zone_2plus = 0;  // at 48
  std::uint16_t orig_point = 0;
  std::uint16_t dest_point = 0;
  std::uint32_t product_data = 0;
  friend bool operator==(const PacketHeader&, const PacketHeader&) = default;
};

// Reads the header, leaving the reader at the first packed message; nothing
// when the bytes end before the header does.
[[nodiscard]] std::optional<PacketHeader> ParsePacketHeader(core::ByteReader& reader);

// The 58 bytes of the header; the password cut or NUL-padded to 8 bytes.
void WritePacketHeader(core::ByteWriter& writer, const PacketHeader& header);

}  // namespace kestrel::fido
