#include "receive/base64_decoder.h"

#include <gtest/gtest.h>

#include "mime_samples.h"

namespace kestrel::receive {
namespace {

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
  const std::string bytes = testing::RandomBytes(57, 1);
  const std::string line = testing::EncodeBase64(bytes);
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
      testing::EncodeBase64(testing::RandomBytes(200, 2)),
      testing::EncodeBase64(testing::RandomBytes(199, 3)),
      testing::EncodeBase64(testing::RandomBytes(198, 4)),
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
}  // namespace kestrel::receive
