// SPDX-License-Identifier: GPL-2.0-or-later
// The FidoNet records: each parser reads what its writer wrote, refuses a
// record that is cut off, and both agree with the real layouts byte by byte.

#include <gtest/gtest.h>

#include "fido/attributes.h"
#include "fido/packed_message.h"
#include "fido/packet_header.h"
#include "fido/stored_message.h"

namespace kestrel::fido {
namespace {

const std::string kDate("06 Dec 26  08:05:00\0", 20);

// Distinct values in every field, so that two fields swapped are seen.
StoredMessageHeader SampleStored() {
  return {.from_name = "Ann Sender",
          .to_name = "Joe Sysop",
          .subject = std::string(72, 'S'),  // fills its field: no NUL
          .date_time = kDate,
          .times_read = 1,
          .dest_node = 100,
          .orig_node = 2,
          .cost = 3,
          .orig_net = 236,
          .dest_net = 237,
          .dest_zone = 4,
          .orig_zone = 5,
          .dest_point = 6,
          .orig_point = 7,
          .reply_to = 8,
          .attribute = kAttrLocal | kAttrFileAttached,
          .next_reply = 9};
}

PacketHeader SamplePacket() {
  return {.orig_node = 1,
          .dest_node = 100,
          .year = 2026,
          .month = 11,
          .day = 6,
          .hour = 8,
          .minute = 5,
          .second = 59,
          .baud = 9600,
          .packet_type = kPacketType,
          .orig_net = 236,
          .dest_net = 237,
          .product_code_low = 0xFE,
          .revision_major = 3,
          .password = "SECRET",
          .orig_zone = 2,
          .dest_zone = 21,
          .aux_net = 0x1234,
          .capability_copy = kCapabilityCopy,
          .product_code_high = 0x12,
          .revision_minor = 0x34,
          .capability_word = kCapabilityType2Plus,
          .orig_zone_2plus = 3,
          .dest_zone_2plus = 22,
          .orig_point = 7,
          .dest_point = 65535,
          .product_data = 0xDEADBEEF};
}

PackedMessageHeader SamplePacked() {
  return {.message_type = kPackedMessageType,
          .orig_node = 1,
          .dest_node = 100,
          .orig_net = 236,
          .dest_net = 237,
          .attribute = kAttrPrivate,
          .cost = 42,
          .date_time = kDate,
          .to_name = "Joe Sysop",
          .from_name = "Ann Sender",
          .subject = "Files"};
}

template <typename Record>
std::string Write(void (*write)(core::ByteWriter&, const Record&), const Record& record) {
  std::string bytes;
  core::ByteWriter writer(bytes);
  write(writer, record);
  return bytes;
}

template <typename Record>
std::optional<Record> Parse(std::optional<Record> (*parse)(core::ByteReader&),
                            std::string_view bytes) {
  core::ByteReader reader(bytes);
  return parse(reader);
}

TEST(FidoRecords, ParsersReadWhatWritersWroteAndRefuseEveryShorterPrefix) {
  const std::string stored = Write(WriteStoredMessageHeader, SampleStored());
  ASSERT_EQ(stored.size(), kStoredMessageHeaderSize);
  EXPECT_EQ(Parse(ParseStoredMessageHeader, stored), SampleStored());
  for (std::size_t n = 0; n < stored.size(); ++n)
    EXPECT_FALSE(Parse(ParseStoredMessageHeader, stored.substr(0, n))) << n;

  const std::string packet = Write(WritePacketHeader, SamplePacket());
  ASSERT_EQ(packet.size(), kPacketHeaderSize);
  EXPECT_EQ(Parse(ParsePacketHeader, packet), SamplePacket());
  for (std::size_t n = 0; n < packet.size(); ++n)
    EXPECT_FALSE(Parse(ParsePacketHeader, packet.substr(0, n))) << n;

  const std::string packed = Write(WritePackedMessageHeader, SamplePacked());
  ASSERT_EQ(packed.size(), kPackedMessageFixedSize + 10 + 11 + 6);
  EXPECT_EQ(Parse(ParsePackedMessageHeader, packed), SamplePacked());
  PackedMessageHeader fixed = SamplePacked();
  fixed.to_name = fixed.from_name = fixed.subject = "";
  for (std::size_t n = 0; n < packed.size(); ++n) {
    const std::string prefix = packed.substr(0, n);
    EXPECT_FALSE(Parse(ParsePackedMessageHeader, prefix)) << n;
    // The fixed part alone is there from its 34th byte on.
    const auto fixed_part = Parse(ParsePackedMessageFixedPart, prefix);
    EXPECT_EQ(fixed_part.has_value(), n >= kPackedMessageFixedSize) << n;
    if (fixed_part) {
      EXPECT_EQ(*fixed_part, fixed) << n;
    }
  }
}

std::uint16_t U16At(const std::string& bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes.at(offset)) |
                                    (static_cast<unsigned char>(bytes.at(offset + 1)) << 8));
}

struct Field {
  std::size_t offset;
  std::uint16_t value;
};

TEST(FidoRecords, WordsStandAtTheirOffsets) {
  const std::string stored = Write(WriteStoredMessageHeader, SampleStored());
  EXPECT_EQ(stored.substr(0, 11), std::string("Ann Sender\0", 11));
  EXPECT_EQ(stored.substr(36, 10), std::string("Joe Sysop\0", 10));
  EXPECT_EQ(stored.substr(72, 72), std::string(72, 'S'));
  EXPECT_EQ(stored.substr(144, 20), kDate);
  const Field stored_words[] = {{164, 1},   {166, 100},    {168, 2}, {170, 3}, {172, 236},
                                {174, 237}, {176, 4},      {178, 5}, {180, 6}, {182, 7},
                                {184, 8},   {186, 0x0110}, {188, 9}};
  for (const Field& f : stored_words) EXPECT_EQ(U16At(stored, f.offset), f.value) << f.offset;

  const std::string packet = Write(WritePacketHeader, SamplePacket());
  // At 24 and 42: the product code's low and high byte, each with a revision.
  const Field packet_words[] = {
      {0, 1},   {2, 100},     {4, 2026},    {6, 11},      {8, 6},       {10, 8},      {12, 5},
      {14, 59}, {16, 9600},   {18, 2},      {20, 236},    {22, 237},    {24, 0x03FE}, {34, 2},
      {36, 21}, {38, 0x1234}, {40, 0x0100}, {42, 0x3412}, {44, 0x0001}, {46, 3},      {48, 22},
      {50, 7},  {52, 65535},  {54, 0xBEEF}, {56, 0xDEAD}};
  for (const Field& f : packet_words) EXPECT_EQ(U16At(packet, f.offset), f.value) << f.offset;
  EXPECT_EQ(packet.substr(26, 8), std::string("SECRET\0\0", 8));

  const std::string packed = Write(WritePackedMessageHeader, SamplePacked());
  const Field packed_words[] = {{0, 2},   {2, 1},       {4, 100}, {6, 236},
                                {8, 237}, {10, 0x0001}, {12, 42}};
  for (const Field& f : packed_words) EXPECT_EQ(U16At(packed, f.offset), f.value) << f.offset;
  EXPECT_EQ(packed.substr(14),
            std::string("06 Dec 26  08:05:00\0Joe Sysop\0Ann Sender\0Files\0", 20 + 10 + 11 + 6));
}

// The bookkeeping changes a stored message where it lies: whatever the other
// bytes hold (here: no NULs at all, and a text) stays.
TEST(FidoRecords, RewritesInPlaceKeepEveryOtherByte) {
  const std::string original = std::string(kStoredMessageHeaderSize, 'x') + "text";
  std::string message = original;
  RewriteStoredSubject(message, "Sent");
  RewriteStoredAttribute(message, kAttrSent | kAttrLocal);
  ASSERT_EQ(message.size(), original.size());
  std::string expected = original;
  expected.replace(72, 72, "Sent" + std::string(68, '\0'));
  expected.replace(186, 2, std::string("\x08\x01", 2));
  EXPECT_EQ(message, expected);
  core::ByteReader reader(message);
  const auto header = ParseStoredMessageHeader(reader);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->subject, "Sent");
  EXPECT_EQ(header->attribute, kAttrSent | kAttrLocal);
  EXPECT_EQ(reader.Rest(), "text");
}

}  // namespace
}  // namespace kestrel::fido
