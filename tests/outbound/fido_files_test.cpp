// The test helpers must write the real layouts: other tests trust them.
#include "support/fido_files.h"

#include <gtest/gtest.h>

namespace kestrel::testing {
namespace {

std::uint16_t U16At(const std::string& bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes.at(offset)) |
                                    (static_cast<unsigned char>(bytes.at(offset + 1)) << 8));
}

TEST(FidoFiles, StoredMessageFieldsAtTheirOffsets) {
  StoredMessage m;
  m.subject = "C:\\FILES\\A.ZIP";
  m.dest_node = 100;
  m.dest_net = 236;
  m.orig_node = 1;
  m.orig_net = 0x1234;
  m.attribute = kAttrLocal | kAttrFileAttached;
  m.text.kludges = {"INTL 2:236/100 2:236/1"};
  m.text.lines = {"Hello"};
  const std::string bytes = EncodeStoredMessage(m);

  ASSERT_EQ(bytes.size(), kStoredHeaderSize + 24 + 6 + 1);
  EXPECT_EQ(bytes.substr(72, 15), std::string("C:\\FILES\\A.ZIP") + '\0');
  EXPECT_EQ(U16At(bytes, 166), 100);
  EXPECT_EQ(U16At(bytes, 168), 1);
  EXPECT_EQ(U16At(bytes, 172), 0x1234);
  EXPECT_EQ(U16At(bytes, 174), 236);
  EXPECT_EQ(U16At(bytes, 186), 0x0110);
  EXPECT_EQ(bytes.substr(190), std::string("\x01INTL 2:236/100 2:236/1\rHello\r") + '\0');

  const auto back = DecodeStoredMessage(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->header.subject, m.subject);
  EXPECT_EQ(back->header.attribute, m.attribute);
  EXPECT_EQ(back->header.dest_net, 236);
  EXPECT_FALSE(DecodeStoredMessage(bytes.substr(0, 189)));
}

TEST(FidoFiles, FullSubjectHasNoNul) {
  StoredMessage m;
  m.subject = std::string(100, 'X');
  m.nul_terminated = false;
  const std::string bytes = EncodeStoredMessage(m);
  ASSERT_EQ(bytes.size(), kStoredHeaderSize);
  EXPECT_EQ(bytes.substr(72, 72), std::string(72, 'X'));
}

TEST(FidoFiles, PacketLayout) {
  PacketHeader h;
  h.dest_node = 100;
  h.dest_net = 236;
  h.dest_zone = 2;
  h.dest_point = 3;
  PackedMessage m;
  m.dest_node = 100;
  m.dest_net = 236;
  m.attribute = kAttrFileAttached;
  m.subject = "A.ZIP";
  m.text.lines = {"Hi"};
  const std::string bytes = EncodePacket(h, {m});

  EXPECT_EQ(U16At(bytes, 2), 100);
  EXPECT_EQ(U16At(bytes, 18), 2);
  EXPECT_EQ(U16At(bytes, 22), 236);
  EXPECT_EQ(U16At(bytes, 36), 2);
  EXPECT_EQ(U16At(bytes, 44), 1);
  EXPECT_EQ(U16At(bytes, 48), 2);
  EXPECT_EQ(U16At(bytes, 52), 3);
  EXPECT_EQ(U16At(bytes, 58), 2);     // packed message type
  EXPECT_EQ(U16At(bytes, 68), 0x10);  // its attribute
  EXPECT_EQ(U16At(bytes, bytes.size() - 2), 0);

  const auto back = DecodePacket(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->header.dest_point, 3);
  ASSERT_EQ(back->messages.size(), 1u);
  EXPECT_EQ(back->messages[0].subject, "A.ZIP");
  EXPECT_EQ(back->raw_texts[0], "Hi\r");
  EXPECT_FALSE(DecodePacket(bytes.substr(0, bytes.size() - 1)));
  EXPECT_FALSE(DecodePacket(bytes.substr(0, 57)));
}

}  // namespace
}  // namespace kestrel::testing
