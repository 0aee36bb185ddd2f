// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/base64.h"

#include <gtest/gtest.h>

#include "support/random_bytes.h"

namespace kestrel::mime {
namespace {

using testing::RandomBytes;

std::string EncodeBlock(std::string_view data) {
  char line[kBase64LineChars];
  return std::string(line, EncodeBase64Block(reinterpret_cast<const std::uint8_t*>(data.data()),
                                             data.size(), line));
}

TEST(EncodeBase64, KnownVectors) {
  const struct {
    std::string data;
    std::string encoded;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\0\0\0", 3), "AAAA"},
      {"\xff\xfe\xfd", "//79"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeBlock(c.data), c.encoded) << c.data;
    EXPECT_EQ(EncodeBase64(c.data), c.encoded) << c.data;
  }
}

TEST(EncodeBase64, BlockLengthsAndPaddingByCount) {
  const std::string block = RandomBytes(kBase64BlockBytes + 3, 7);
  const struct {
    std::size_t count;
    std::size_t length;
    std::size_t padding;
  } cases[] = {{0, 0, 0}, {1, 4, 2}, {2, 4, 1}, {3, 4, 0}, {56, 76, 1}, {57, 76, 0}, {60, 76, 0}};
  for (const auto& c : cases) {
    const std::string line = EncodeBlock(std::string_view(block).substr(0, c.count));
    EXPECT_EQ(line.size(), c.length) << c.count;
    EXPECT_EQ(line.size() - line.find_last_not_of('=') - 1, c.padding) << c.count;
  }
  // Longer input is one unbroken line: the blocks' lines joined.
  const std::string bytes = RandomBytes(200, 8);
  EXPECT_EQ(DecodeBase64Line(EncodeBase64(bytes)), bytes);
}

TEST(DecodeBase64Line, FollowsTheLineRules) {
  const struct {
    std::string line;
    std::string bytes;
  } cases[] = {
      {"QUJD", "ABC"},
      {"QUI=", "AB"},
      {"QQ==", "A"},
      {"", ""},
      {"QUJDRA", std::string("ABCD\0", 5)},  // 6n/8 rounded up: zero bits complete it
      // Characters outside the alphabet count as 63; "=" inside removes nothing.
      {"QU=D", "AO\xC3"},
      {"QU D", "AO\xC3"},
      {"==", ""},
      {"====", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeBase64Line(c.line), c.bytes) << c.line;
}

TEST(DecodeBase64Line, FullLineGivesFiftySevenBytes) {
  const std::string bytes = RandomBytes(57, 1);
  const std::string line = EncodeBase64(bytes);
  ASSERT_EQ(line.size(), 76u);
  EXPECT_EQ(DecodeBase64Line(line), bytes);
}

TEST(DecodeBase64Line, LongLinesNeverOverrun) {
  for (std::size_t size : {105u, 255u, 256u, 4096u, 100000u}) {
    const std::string line(size, '/');
    EXPECT_EQ(DecodeBase64Line(line).size(), (size * 6 + 7) / 8);
  }
}

// A line fed in pieces, split anywhere, decodes as the whole line does, also
// into an output that already holds earlier lines' bytes.
TEST(Base64LineDecoder, PiecesDecodeLikeTheWholeLine) {
  const std::string lines[] = {
      EncodeBase64(RandomBytes(200, 2)),
      EncodeBase64(RandomBytes(199, 3)),
      EncodeBase64(RandomBytes(198, 4)),
      "QUJD=====",
      "QQ==",
      "ab=cd==",
  };
  for (const auto& line : lines) {
    for (std::size_t cut1 = 0; cut1 <= line.size(); cut1 += 3) {
      for (std::size_t cut2 = cut1; cut2 <= line.size(); cut2 += 5) {
        std::string out = "earlier";
        Base64LineDecoder decoder;
        decoder.Feed(std::string_view(line).substr(0, cut1), out);
        decoder.Feed(std::string_view(line).substr(cut1, cut2 - cut1), out);
        EXPECT_GE(out.size(), decoder.ReadyBytes(out));
        EXPECT_GE(decoder.ReadyBytes(out), 7u);
        decoder.Feed(std::string_view(line).substr(cut2), out);
        decoder.EndLine(out);
        ASSERT_EQ(out, "earlier" + DecodeBase64Line(line)) << line << " " << cut1 << " " << cut2;
      }
    }
  }
}

}  // namespace
}  // namespace kestrel::mime
