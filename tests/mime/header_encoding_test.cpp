// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/header_encoding.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mime/base64.h"
#include "mime/charset_conversion.h"

namespace kestrel::mime {
namespace {

// Encoded words decoded again, for checking what a reader gets back.
std::string DecodeWords(const std::vector<std::string>& words, const std::string& charset) {
  const std::string prefix = "=?" + charset + "?B?";
  std::string text;
  for (const auto& word : words) {
    EXPECT_TRUE(word.size() <= 75u && word.starts_with(prefix)) << word;
    const std::string piece =
        DecodeBase64Line(word.substr(prefix.size(), word.size() - prefix.size() - 2));
    EXPECT_TRUE(charset != "UTF-8" || IsUtf8(piece)) << "a character was split";
    text += piece;
  }
  return text;
}

TEST(HeaderEncoding, HeaderTextIsQuotedOrEncodedOnlyWhenItMustBe) {
  const struct {
    std::string name;
    std::vector<std::string> expected;
  } names[] = {
      {"Joe Sysop", {"Joe Sysop"}},
      {"J. Smith", {"J. Smith"}},
      {"", {""}},
      {"Smith, Joe", {"\"Smith, Joe\""}},
      {"Say \"hi\" (\\)", {"\"Say \\\"hi\\\" (\\\\)\""}},
      {"J\xC3\xB6rg", {"=?UTF-8?B?SsO2cmc=?="}},
      {"J\xF6rg", {"=?UTF-8?B?SsO2cmc=?="}},  // Windows-1252, as old files were written
  };
  for (const auto& c : names) EXPECT_EQ(DisplayNameWords(c.name), c.expected) << c.name;

  EXPECT_EQ(HeaderTextWords("Fido A.ZIP", "UTF-8"), std::vector<std::string>{"Fido A.ZIP"});
  std::string cyrillic;
  for (int i = 0; i < 40; ++i) cyrillic += "\xD0\x9F\xD1\x80\xD0\xB8";  // "При"
  const auto words = HeaderTextWords(cyrillic, "UTF-8");
  EXPECT_GT(words.size(), 1u);
  EXPECT_EQ(DecodeWords(words, "UTF-8"), cyrillic);
  EXPECT_EQ(DecodeWords(EncodedWords("\xE4\xF6", "unknown-8bit"), "unknown-8bit"), "\xE4\xF6");
}

}  // namespace
}  // namespace kestrel::mime
