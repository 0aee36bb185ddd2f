// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/quoted_printable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel::mime {
namespace {

TEST(QuotedPrintable, Lines) {
  const struct {
    std::string line;
    std::vector<std::string> expected;
  } cases[] = {
      {"", {""}},
      {"plain text", {"plain text"}},
      {"a=b", {"a=3Db"}},
      {"end \t", {"end =09"}},
      {"\xC3\xA4", {"=C3=A4"}},
      {std::string(100, 'x'), {std::string(75, 'x') + "=", std::string(25, 'x')}},
      {std::string(76, 'y'), {std::string(76, 'y')}},
      {std::string(74, 'z') + "\xFF", {std::string(74, 'z') + "=", "=FF"}},
  };
  for (const auto& c : cases) EXPECT_EQ(QuotedPrintableLines(c.line), c.expected) << c.line;
}

}  // namespace
}  // namespace kestrel::mime
