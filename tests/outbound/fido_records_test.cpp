#include "outbound/fido_records.h"

#include <gtest/gtest.h>

#include "support/fido_files.h"

namespace kestrel::outbound {
namespace {

TEST(FidoRecords, StoredMessageHeaderFields) {
  testing::StoredMessage m;
  m.subject = std::string(72, 'S');  // fills the field, no NUL
  m.dest_node = 0xABCD;
  m.dest_net = 0x1234;
  m.attribute = 0x0191;
  const std::string bytes = testing::EncodeStoredMessage(m);
  const auto header = ParseStoredMessageHeader(bytes);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->subject, std::string(72, 'S'));
  EXPECT_EQ(header->dest_node, 0xABCD);
  EXPECT_EQ(header->dest_net, 0x1234);
  EXPECT_EQ(header->attribute, 0x0191);
  // Every shorter prefix is refused, and reading never looks past the end.
  for (std::size_t n = 0; n < kStoredMessageHeaderSize; ++n)
    EXPECT_FALSE(ParseStoredMessageHeader(std::string_view(bytes).substr(0, n))) << n;
}

TEST(FidoRecords, PacketDestinationAndFirstAttribute) {
  testing::PacketHeader h;
  h.dest_zone = 21;
  h.dest_net = 65535;
  h.dest_node = 0;
  h.dest_point = 7;
  testing::PackedMessage m;
  m.attribute = 0x0011;
  const std::string bytes = testing::EncodePacket(h, {m});
  const auto to = ParsePacketDestination(bytes);
  ASSERT_TRUE(to);
  EXPECT_EQ(AddressText(*to), "21:65535/0.7");
  EXPECT_EQ(ParseFirstMessageAttribute(bytes), 0x0011);
  for (std::size_t n = 0; n < kPacketPrefixSize; ++n) {
    const std::string_view prefix = std::string_view(bytes).substr(0, n);
    EXPECT_EQ(ParsePacketDestination(prefix).has_value(), n >= kPacketHeaderSize) << n;
    EXPECT_FALSE(ParseFirstMessageAttribute(prefix)) << n;
  }
}

}  // namespace
}  // namespace kestrel::outbound
