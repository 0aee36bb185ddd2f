// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/le_bytes.h"

#include <gtest/gtest.h>

namespace kestrel::core {
namespace {

TEST(ByteReader, ReadsFieldsInOrderLeastSignificantByteFirst) {
  const std::string bytes(
      "\x01\x02\x03\x04\x05\x06\x07"
      "AB\0xyz"
      "name\0rest",
      22);
  ByteReader reader(bytes);
  EXPECT_EQ(reader.U8(), 0x01);
  EXPECT_EQ(reader.U16le(), 0x0302);
  EXPECT_EQ(reader.U32le(), 0x07060504u);
  EXPECT_EQ(reader.FixedString(6), "AB");  // the bytes after the NUL are passed over
  EXPECT_EQ(reader.ZeroEndedString(), "name");
  EXPECT_EQ(reader.Rest(), "rest");
  EXPECT_EQ(reader.Bytes(4), "rest");
  EXPECT_FALSE(reader.failed());
  EXPECT_EQ(reader.Rest(), "");
}

// A read that does not fit reads nothing and the reader stays failed, even
// for reads that would fit.
TEST(ByteReader, ShortReadFailsForGood) {
  const struct {
    const char* name;
    std::string (*read)(ByteReader&);
  } reads[] = {
      {"U16le", [](ByteReader& r) { return std::to_string(r.U16le()); }},
      {"U32le", [](ByteReader& r) { return std::to_string(r.U32le()); }},
      {"FixedString", [](ByteReader& r) { return r.FixedString(4); }},
      {"Bytes", [](ByteReader& r) { return std::string(r.Bytes(4)); }},
      {"ZeroEndedString", [](ByteReader& r) { return r.ZeroEndedString(); }},
  };
  for (const auto& read : reads) {
    ByteReader reader(std::string_view("\x01\x02", 2));
    (void)reader.U8();
    const std::string value = read.read(reader);
    EXPECT_TRUE(value.empty() || value == "0") << read.name;
    EXPECT_TRUE(reader.failed()) << read.name;
    EXPECT_EQ(reader.U8(), 0) << read.name;
    EXPECT_EQ(reader.Rest(), "") << read.name;
  }
}

TEST(ByteWriter, WritesWhatTheReaderReads) {
  std::string bytes;
  ByteWriter writer(bytes);
  writer.U8(0xFE);
  writer.U16le(0xABCD);
  writer.U32le(0x80000001u);
  writer.FixedString("Joe", 5);
  writer.FixedString("too long", 3);
  writer.ZeroEndedString("end");
  EXPECT_EQ(bytes, std::string("\xFE\xCD\xAB\x01\x00\x00\x80Joe\0\0too"
                               "end\0",
                               19));
  ByteReader reader(bytes);
  EXPECT_EQ(reader.U8(), 0xFE);
  EXPECT_EQ(reader.U16le(), 0xABCD);
  EXPECT_EQ(reader.U32le(), 0x80000001u);
  EXPECT_EQ(reader.FixedString(5), "Joe");
  EXPECT_EQ(reader.FixedString(3), "too");
  EXPECT_EQ(reader.ZeroEndedString(), "end");
  EXPECT_FALSE(reader.failed());
}

}  // namespace
}  // namespace kestrel::core
