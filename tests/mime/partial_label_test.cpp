// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/partial_label.h"

#include <gtest/gtest.h>

namespace kestrel::mime {
namespace {

// What a piece's Content-Type may claim, within bounds or not.
TEST(ReadPieceLabel, TakesOnlyPiecesWithinBounds) {
  const std::string long_id(kMaxPieceIdBytes + 1, 'x');
  const struct {
    std::string type;
    bool is_piece, usable;
  } cases[] = {
      {"message/partial; id=\"a@b\"; number=2; total=3", true, true},
      {"Message/Partial; id=a@b; number=\"1\"", true, true},  // total only on the last
      {"message/partial; id=\"a@b\"; number=4; total=3", true, false},
      {"message/partial; id=\"a@b\"; number=0; total=3", true, false},
      {"message/partial; id=\"a@b\"; number=1; total=1001", true, false},
      {"message/partial; id=\"a@b\"; number=-1", true, false},
      {"message/partial; id=\"a@b\"; number=1x", true, false},
      {"message/partial; number=1; total=1", true, false},
      {"message/partial; id=\"" + long_id + "\"; number=1; total=1", true, false},
      {"message/rfc822; id=a; number=1; total=1", false, false},
  };
  for (const auto& c : cases) {
    const PieceReading reading = ReadPieceLabel(c.type);
    EXPECT_EQ(reading.is_piece, c.is_piece) << c.type;
    EXPECT_EQ(reading.is_piece && reading.problem.empty(), c.usable) << c.type;
  }
  const PieceLabel label = ReadPieceLabel("message/partial; id=\"a\tb\"; number=2; total=3").label;
  EXPECT_EQ(DescribePiece(label), "piece 2 of 3 of a?b");
}

}  // namespace
}  // namespace kestrel::mime
