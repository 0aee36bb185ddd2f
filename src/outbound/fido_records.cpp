#include "outbound/fido_records.h"

#include "outbound/byte_reader.h"

namespace kestrel::outbound {

namespace {

constexpr std::size_t kSubjectOffset = 72;
constexpr std::size_t kSubjectSize = 72;
constexpr std::size_t kDestNodeOffset = 166;
constexpr std::size_t kDestNetOffset = 174;
constexpr std::size_t kAttributeOffset = 186;

constexpr std::size_t kPacketDestNodeOffset = 2;
constexpr std::size_t kPacketDestNetOffset = 22;
constexpr std::size_t kPacketDestZoneOffset = 36;
constexpr std::size_t kPacketDestPointOffset = 52;
constexpr std::size_t kPackedAttributeOffset = kPacketHeaderSize + 10;

constexpr std::size_t kMaxAddressText = 30;

bool U16At(ByteReader& reader, std::size_t offset, std::uint16_t& value) {
  return reader.Seek(offset) && reader.U16le(value);
}

}  // namespace

std::optional<StoredMessageHeader> ParseStoredMessageHeader(std::string_view bytes) {
  if (bytes.size() < kStoredMessageHeaderSize) return std::nullopt;
  ByteReader reader(bytes.substr(0, kStoredMessageHeaderSize));
  StoredMessageHeader header;
  if (!reader.Seek(kSubjectOffset) || !reader.FixedString(kSubjectSize, header.subject) ||
      !U16At(reader, kDestNodeOffset, header.dest_node) ||
      !U16At(reader, kDestNetOffset, header.dest_net) ||
      !U16At(reader, kAttributeOffset, header.attribute))
    return std::nullopt;
  return header;
}

std::optional<PacketDestination> ParsePacketDestination(std::string_view bytes) {
  if (bytes.size() < kPacketHeaderSize) return std::nullopt;
  ByteReader reader(bytes.substr(0, kPacketHeaderSize));
  PacketDestination to;
  if (!U16At(reader, kPacketDestNodeOffset, to.node) ||
      !U16At(reader, kPacketDestNetOffset, to.net) ||
      !U16At(reader, kPacketDestZoneOffset, to.zone) ||
      !U16At(reader, kPacketDestPointOffset, to.point))
    return std::nullopt;
  return to;
}

std::optional<std::uint16_t> ParseFirstMessageAttribute(std::string_view bytes) {
  if (bytes.size() < kPacketPrefixSize) return std::nullopt;
  ByteReader reader(bytes.substr(0, kPacketPrefixSize));
  std::uint16_t attribute = 0;
  if (!U16At(reader, kPackedAttributeOffset, attribute)) return std::nullopt;
  return attribute;
}

std::string AddressText(const PacketDestination& to) {
  std::string text = std::to_string(to.zone) + ":" + std::to_string(to.net) + "/" +
                     std::to_string(to.node) + "." + std::to_string(to.point);
  return text.substr(0, kMaxAddressText);
}

}  // namespace kestrel::outbound
