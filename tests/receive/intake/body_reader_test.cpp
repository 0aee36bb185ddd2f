// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/intake/body_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>

namespace kestrel::receive {
namespace {

struct Read {
  std::vector<BodyPiece> pieces;
  BodyStatus end = BodyStatus::Piece;
};

// Reads everything from `data`, handed out `chunk` bytes at a time (0: random).
Read ReadAll(const std::string& data, std::size_t chunk,
             std::optional<std::uint64_t> counted = std::nullopt) {
  std::size_t at = 0;
  std::mt19937 generator(5);
  BodyReader reader([&](char* buffer, std::size_t capacity) {
    std::size_t n = chunk ? chunk : 1 + generator() % 3000;
    n = std::min({n, capacity, data.size() - at});
    std::copy_n(data.data() + at, n, buffer);
    at += n;
    return n;
  });
  reader.Reset(counted);
  Read read;
  BodyPiece piece;
  for (;;) {
    read.end = reader.ReadBodyLine(piece);
    if (read.end != BodyStatus::Piece) break;
    read.pieces.push_back(piece);
  }
  return read;
}

std::vector<std::string> Texts(const Read& read) {
  std::vector<std::string> texts;
  for (const auto& piece : read.pieces) texts.push_back(piece.text);
  return texts;
}

TEST(BodyReader, UndoesDotStuffingAndStopsAtTheDotLine) {
  const std::string data = "first\r\n..hidden\r\n...two\r\n.x\r\n\r\n.\r\nafter the end\r\n";
  for (std::size_t chunk : {1u, 2u, 3u, 2048u, 0u}) {
    const Read read = ReadAll(data, chunk);
    EXPECT_EQ(read.end, BodyStatus::EndOfData);
    EXPECT_EQ(Texts(read), (std::vector<std::string>{"first", ".hidden", "..two", ".x", ""}));
    for (const auto& piece : read.pieces) EXPECT_TRUE(piece.line_ends);
  }
}

// Only CR LF ends a line: a lone CR or LF is data, so no content can end
// the data early, and binary bytes arrive as sent.
TEST(BodyReader, OnlyCrLfEndsALine) {
  const std::string data = "lf\ncr\rhello\r.\r\nx\n.\nmac\r.\r\r\n\r\r\n.\r\nnext reply\r\n";
  for (std::size_t chunk : {1u, 2u, 3u, 2048u, 0u}) {
    const Read read = ReadAll(data, chunk);
    EXPECT_EQ(read.end, BodyStatus::EndOfData);
    EXPECT_EQ(Texts(read), (std::vector<std::string>{"lf\ncr\rhello\r.", "x\n.\nmac\r.\r", "\r"}));
  }
}

// Over-long lines come in pieces; only a line's first piece is looked at for
// the dot rules, so text inside a long line is never taken for the end.
TEST(BodyReader, LongLinesArriveInPiecesThatJoinAgain) {
  const std::string long_line = std::string(kMaxBodyPiece, 'a') + ".";
  const std::string stuffed = std::string(kMaxBodyPiece, 'b') + "..c";
  for (std::size_t chunk : {7u, 2048u, 0u}) {
    const Read read =
        ReadAll(long_line + "\r\n" + stuffed + "\r\n" + std::string(300, 'd') + "\r\n.\r\n", chunk);
    ASSERT_EQ(read.end, BodyStatus::EndOfData);
    ASSERT_EQ(read.pieces.size(), 5u);
    EXPECT_EQ(read.pieces[0].text + read.pieces[1].text, long_line);
    EXPECT_FALSE(read.pieces[0].line_ends);
    EXPECT_TRUE(read.pieces[1].line_ends);
    EXPECT_EQ(read.pieces[2].text + read.pieces[3].text, stuffed);
    EXPECT_EQ(read.pieces[4].text, std::string(300, 'd'));  // a 300-character line is whole
  }
}

// Data of a known length has no dot rules and ends at its last byte; what
// follows it is never fetched.
TEST(BodyReader, CountedDataEndsAtItsLength) {
  const std::string data = "..a\r\n.\r\nb\rEXTRA";
  for (std::size_t chunk : {1u, 2u, 2048u, 0u}) {
    const Read read = ReadAll(data, chunk, 10);
    EXPECT_EQ(read.end, BodyStatus::EndOfData);
    EXPECT_EQ(Texts(read), (std::vector<std::string>{"..a", ".", "b\r"}));
    EXPECT_FALSE(read.pieces.back().line_ends);
  }
}

TEST(BodyReader, DataCutOffEndsWithoutTheEndLine) {
  const Read read = ReadAll("QUJD\r\nQUJ", 2);
  EXPECT_EQ(read.end, BodyStatus::NoData);
  EXPECT_EQ(Texts(read), std::vector<std::string>{"QUJD"});
}

}  // namespace
}  // namespace kestrel::receive
