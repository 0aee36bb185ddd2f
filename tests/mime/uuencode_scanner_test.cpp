// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/uuencode_scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "receive/intake/attachment_names.h"

namespace kestrel::mime {
namespace {

// What each line of a part is for the scanner; the bytes decoded.
std::vector<UuScan> Scan(UuencodeScanner& scanner, const std::vector<std::string>& lines,
                         std::string& out) {
  std::vector<UuScan> steps;
  for (const auto& line : lines) steps.push_back(scanner.Line(line, true, out));
  return steps;
}

TEST(UuencodeScanner, ProseBeginLinesAreNoFileAndTheFileAfterThemIs) {
  UuencodeScanner scanner(receive::SafeAttachmentName);
  scanner.StartPart("", true);
  std::string out;
  using S = UuScan;
  EXPECT_EQ(Scan(scanner,
                 {"begin 644 yourfile.zip", "", "begin 644 OTHER.ZIP", "Thanks",
                  "begin 644 cat.pkt", "#0V%T", "`", "end", "after"},
                 out),
            (std::vector<S>{S::Begins, S::Text, S::Begins, S::Text, S::Begins, S::Data, S::Data,
                            S::End, S::Text}));
  EXPECT_EQ(out, "Cat");
  EXPECT_EQ(scanner.name(), "cat.pkt");
  EXPECT_FALSE(scanner.missing());
}

TEST(UuencodeScanner, OnlyTheFirstDataLineOpensAndABrokenFileEndsIt) {
  UuencodeScanner scanner(receive::SafeAttachmentName);
  scanner.StartPart("PART.PKT", true);
  std::string out;
  EXPECT_EQ(scanner.Line("begin 644 ../x", true, out), UuScan::Begins);
  EXPECT_EQ(scanner.file_name(), "PART.PKT");  // the part's own name wins
  EXPECT_EQ(scanner.Line("#0V%T", true, out), UuScan::Data);
  EXPECT_TRUE(scanner.opens_file());
  EXPECT_EQ(scanner.Line("#0V%T", true, out), UuScan::Data);
  EXPECT_FALSE(scanner.opens_file());
  EXPECT_TRUE(scanner.in_file());
  EXPECT_EQ(scanner.Line("#0V%T", false, out), UuScan::BreaksOff);  // a piece of a long line
  EXPECT_FALSE(scanner.in_file());

  scanner.StartPart("", true);
  EXPECT_EQ(scanner.Line("begin 644 ..", true, out), UuScan::Unusable);
  EXPECT_FALSE(scanner.missing());
  scanner.StartPart("", true);
  EXPECT_TRUE(scanner.missing());
}

}  // namespace
}  // namespace kestrel::mime
