#pragma once
// The FidoNet record fields the scans read: the stored-message (*.MSG)
// header and the packet header with its first packed message. Pure parsers.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::outbound {

inline constexpr std::size_t kStoredMessageHeaderSize = 190;
inline constexpr std::size_t kPacketHeaderSize = 58;
inline constexpr std::size_t kPackedMessageHeaderSize = 34;
// A packet header and the fixed part of its first message.
inline constexpr std::size_t kPacketPrefixSize = kPacketHeaderSize + kPackedMessageHeaderSize;

inline constexpr std::uint16_t kAttributeSent = 0x0008;
inline constexpr std::uint16_t kAttributeFileAttached = 0x0010;
inline constexpr std::uint16_t kAttributeKillSent = 0x0080;
inline constexpr std::uint16_t kAttributeLocal = 0x0100;

struct StoredMessageHeader {
  std::string subject;  // up to its NUL, at most 72 bytes
  std::uint16_t dest_node = 0;
  std::uint16_t dest_net = 0;
  std::uint16_t attribute = 0;
};

// Nothing when fewer than 190 bytes are given.
[[nodiscard]] std::optional<StoredMessageHeader> ParseStoredMessageHeader(std::string_view bytes);

struct PacketDestination {
  std::uint16_t zone = 0;
  std::uint16_t net = 0;
  std::uint16_t node = 0;
  std::uint16_t point = 0;
};

// The destination of a packet header; nothing when fewer than 58 bytes.
[[nodiscard]] std::optional<PacketDestination> ParsePacketDestination(std::string_view bytes);

// The attribute of the first packed message (file offset 68); nothing when
// the header and the message's fixed part (92 bytes) are not all there.
[[nodiscard]] std::optional<std::uint16_t> ParseFirstMessageAttribute(std::string_view bytes);

// "zone:net/node.point" in decimal, as the redirect table holds addresses.
[[nodiscard]] std::string AddressText(const PacketDestination& destination);

}  // namespace kestrel::outbound
