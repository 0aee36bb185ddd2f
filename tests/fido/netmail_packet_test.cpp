// SPDX-License-Identifier: GPL-2.0-or-later
#include "fido/netmail_packet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fido_files.h"

namespace kestrel::fido {
namespace {

void Put16(std::string& bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<char>(value & 0xFF);
  bytes[offset + 1] = static_cast<char>(value >> 8);
}

testing::StoredMessage Message() {
  testing::StoredMessage message;
  message.from_name = "Ann Sender";
  message.to_name = "Joe Sysop";
  message.subject = "Hello";
  message.date_time = "06 Dec 26  08:05:00";
  message.orig_node = 1;
  message.orig_net = 236;
  message.dest_node = 100;
  message.dest_net = 236;
  message.cost = 7;
  message.attribute = 0x0181;
  message.text = {{"INTL 2:236/100 1:236/1", "MSGID: 1:236/1.12 abcd", "FMPT 12", "TOPT 3"},
                  {"Hi there", "Bye"}};
  return message;
}

TEST(NetmailPacket, HeaderAndPackedMessageByteForByte) {
  const testing::StoredMessage message = Message();
  const std::string stored = testing::EncodeStoredMessage(message);
  const std::optional<std::string> packet = BuildNetmailPacket(stored);
  ASSERT_TRUE(packet);

  std::string header(58, '\0');
  Put16(header, 0, 1);     // origin node
  Put16(header, 2, 100);   // destination node
  Put16(header, 4, 2026);  // the message's date: 06 Dec 26  08:05:00
  Put16(header, 6, 11);
  Put16(header, 8, 6);
  Put16(header, 10, 8);
  Put16(header, 12, 5);
  Put16(header, 18, 2);  // packet type
  Put16(header, 20, 236);
  Put16(header, 22, 236);
  header[24] = 5;        // product code, low byte
  header[25] = 2;        // major revision
  Put16(header, 34, 1);  // origin zone, from MSGID
  Put16(header, 36, 2);  // destination zone, from INTL
  Put16(header, 40, 0x0100);
  header[42] = 1;  // product code, high byte
  header[43] = 0;  // minor revision
  Put16(header, 44, 1);
  Put16(header, 46, 1);
  Put16(header, 48, 2);
  Put16(header, 50, 12);
  Put16(header, 52, 3);

  std::string packed(14, '\0');
  Put16(packed, 0, 2);
  Put16(packed, 2, 1);
  Put16(packed, 4, 100);
  Put16(packed, 6, 236);
  Put16(packed, 8, 236);
  Put16(packed, 10, 0x0081);  // Local cleared
  Put16(packed, 12, 7);       // cost of the stored message
  packed += std::string("06 Dec 26  08:05:00") + '\0';
  packed += std::string("Joe Sysop") + '\0' + "Ann Sender" + '\0' + "Hello" + '\0';
  packed += testing::EncodeMessageText(message.text);
  packed += "--- Kestrel 2.00 (https://kestrel.example.org)\r";
  packed += std::string(3, '\0');

  EXPECT_EQ(*packet, header + packed);
  // An independent reader agrees.
  const auto decoded = testing::DecodePacket(*packet);
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->messages.size(), 1u);
  EXPECT_EQ(decoded->messages[0].subject, "Hello");
  EXPECT_EQ(decoded->header.dest_zone, 2);
}

TEST(NetmailPacket, ZonesAndPointsFromControlLines) {
  const struct {
    std::string name;
    std::string text;
    ControlAddresses expected;
  } cases[] = {
      {"INTL first address is the destination",
       "\x01INTL 2:236/100 1:236/1\r\x01MSGID: 1:236/1 x\r",
       {1, 2, 0, 0}},
      {"without INTL both zones from MSGID", "\x01MSGID: 1:236/1 x\r", {1, 1, 0, 0}},
      {"INTL zone 0 takes the origin zone",
       "\x01INTL 0:1/1 3:1/2\r\x01MSGID: 3:1/2 y\r",
       {3, 3, 0, 0}},
      {"no control lines", "just text\r", {0, 0, 0, 0}},
      {"FMPT 12 cut at CR, TOPT missing",
       "\x01"
       "FMPT 12\rmore\r",
       {0, 0, 12, 0}},
      {"point text is at most 5 characters", "\x01TOPT 1234567\r", {0, 0, 0, 12345}},
      {"only the first occurrence counts", "\x01TOPT 4\r\x01TOPT 5\r", {0, 0, 0, 4}},
      {"control line at the very end", "\x01INTL", {0, 0, 0, 0}},
      {"zone without colon within reach", "\x01MSGID: " + std::string(100, '7'), {0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    const ControlAddresses got = ReadControlAddresses(c.text);
    EXPECT_EQ(got.origin_zone, c.expected.origin_zone) << c.name;
    EXPECT_EQ(got.destination_zone, c.expected.destination_zone) << c.name;
    EXPECT_EQ(got.origin_point, c.expected.origin_point) << c.name;
    EXPECT_EQ(got.destination_point, c.expected.destination_point) << c.name;
  }
}

TEST(NetmailPacket, TextEndsAtFirstZeroAndTearLineFollowsLastLine) {
  testing::StoredMessage message = Message();
  message.text = {};
  std::string stored = testing::EncodeStoredMessage(message);
  stored.resize(kStoredMessageHeaderSize);
  stored += std::string("no CR at the end") + '\0' + "\x01INTL 9:9/9 9:9/9\rjunk";
  const auto decoded = testing::DecodePacket(*BuildNetmailPacket(stored));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->raw_texts.at(0), "no CR at the end" + TearLine());
  // Control lines behind the zero byte are not part of the message.
  EXPECT_EQ(decoded->header.dest_zone, 0);
}

TEST(NetmailPacket, MalformedStoredMessages) {
  EXPECT_FALSE(BuildNetmailPacket(std::string(189, 'x')));
  // Names that fill their fields without a zero byte are cut at the field.
  const std::string no_zeros(400, 'A');
  const auto decoded = testing::DecodePacket(*BuildNetmailPacket(no_zeros));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->messages.at(0).to_name, std::string(36, 'A'));
  EXPECT_EQ(decoded->messages.at(0).subject, std::string(72, 'A'));
  EXPECT_EQ(decoded->raw_texts.at(0), std::string(210, 'A') + TearLine());
}

}  // namespace
}  // namespace kestrel::fido
