// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/content_decoder.h"

#include <gtest/gtest.h>

#include "mime/uudecode.h"

namespace kestrel::mime {
namespace {

// The lines through a decoder, each cut into pieces of `piece` characters;
// bytes are taken away as soon as the decoder calls them ready.
std::string Decode(TransferEncoding encoding, const std::vector<std::string>& lines,
                   bool before_delimiter, std::size_t piece) {
  const auto decoder = MakeContentDecoder(encoding);
  std::string out;
  std::string taken;
  for (const auto& line : lines) {
    std::size_t at = 0;
    do {
      const std::string_view part = std::string_view(line).substr(at, piece);
      at += piece;
      decoder->Feed(part, at >= line.size(), out);
      const std::size_t ready = decoder->Ready(out);
      taken += out.substr(0, ready);
      out.erase(0, ready);
    } while (at < line.size());
  }
  decoder->Finish(before_delimiter, out);
  return taken + out;
}

TEST(ContentDecoder, EveryEncodingDecodesAtEverySplit) {
  using E = TransferEncoding;
  const struct {
    E encoding;
    std::vector<std::string> lines;
    bool before_delimiter;
    std::string bytes;
  } cases[] = {
      // The line end before a delimiter belongs to it; the one before "." does not.
      {E::Identity, {"a", "", "b "}, true, "a\r\n\r\nb "},
      {E::Identity, {"a", "", "b "}, false, "a\r\n\r\nb \r\n"},
      {E::Base64, {"QUJD", "QUI="}, true, "ABCAB"},
      {E::Base64, {"QUJDQ", "UJDQQ", "=="}, true, "ABCABCA"},  // lines of any length
      {E::Base64, {"QQ==QUJD"}, true, "AABC"},                 // padding ends a group
      {E::Base64, {" QU JD\t", "*QUI"}, true, "ABCAB"},        // stray characters, no padding
      {E::Base64, {"=QUJD=", "Q"}, true, "ABC"},               // padding where none can stand
      {E::QuotedPrintable,
       {"a=3Db=", "c  ", "d=\t ", "e=4", "=ZZ x =3D y"},
       true,
       "a=bc\r\nde=4\r\n=ZZ x = y"},
      {E::QuotedPrintable, {"=E2=82=AC", ""}, false, "\xE2\x82\xAC\r\n\r\n"},
      // A CR the line end left behind is no content of an encoded line.
      {E::Base64, {"QUJD\r", "QUI=\r"}, true, "ABCAB"},
      {E::QuotedPrintable, {"a=\r", "b \r", "c\rd"}, true, "ab\r\nc\rd"},
  };
  for (const auto& c : cases) {
    for (std::size_t piece : {1, 2, 3, 1000}) {
      EXPECT_EQ(Decode(c.encoding, c.lines, c.before_delimiter, piece), c.bytes)
          << c.lines.front() << " in pieces of " << piece;
    }
  }
  EXPECT_EQ(ParseTransferEncoding(" Quoted-Printable "), E::QuotedPrintable);
  EXPECT_EQ(ParseTransferEncoding(""), E::Identity);
  EXPECT_EQ(ParseTransferEncoding("x-uue"), E::Uuencode);
  EXPECT_EQ(ParseTransferEncoding("x-gzip64"), E::Unknown);
  EXPECT_EQ(MakeContentDecoder(E::Unknown), nullptr);
}

TEST(Uudecode, LinesAsEncodersAndTransportsLeaveThem) {
  EXPECT_EQ(UuBeginName("begin 644 2f6e0100.pkt"), "2f6e0100.pkt");
  EXPECT_EQ(UuBeginName("begin 0644 My File.tic  "), "My File.tic");
  EXPECT_EQ(UuBeginName("begin with a plan"), std::nullopt);
  EXPECT_EQ(UuBeginName("begin 644"), std::nullopt);
  EXPECT_EQ(UuBeginName("begin 644 a.pkt\r"), "a.pkt");
  const struct {
    std::string line;
    UuLine kind;
    std::string bytes;
  } cases[] = {
      {"#0V%T", UuLine::Data, "Cat"},
      {"#", UuLine::Data, std::string(3, '\0')},  // "#   " with its blanks taken away
      {"`", UuLine::Data, ""},
      {"", UuLine::Data, ""},
      {"end", UuLine::End, ""},
      {"#0V%T\r", UuLine::Data, "Cat"},
      {"end\r", UuLine::End, ""},
      {"Hello there", UuLine::Other, ""},
      {"#0V%T" + std::string(10, 'M'), UuLine::Other, ""},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(DecodeUuLine(c.line, out), c.kind) << c.line;
    EXPECT_EQ(out, c.bytes) << c.line;
  }
}

}  // namespace
}  // namespace kestrel::mime
