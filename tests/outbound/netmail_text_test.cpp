// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/netmail_text.h"

#include <gtest/gtest.h>

namespace kestrel::outbound {
namespace {

struct TextCase {
  const char* label;
  std::string text;
  AfterSendAction attached;
  std::string point;
  std::string zone;
  bool has_text;
};

class InspectNetmailTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(InspectNetmailTextTest, Reads) {
  const TextCase& c = GetParam();
  const NetmailTextFacts facts = InspectNetmailText(c.text);
  EXPECT_EQ(facts.attached_files, c.attached);
  EXPECT_EQ(facts.point, c.point);
  EXPECT_EQ(facts.zone, c.zone);
  EXPECT_EQ(facts.has_text, c.has_text);
}

const std::string kNul(1, '\0');
using A = AfterSendAction;

INSTANTIATE_TEST_SUITE_P(
    Cases, InspectNetmailTextTest,
    ::testing::Values(TextCase{"kfs",
                               "\x01"
                               "FLAGS KFS\rHello there\r" +
                                   kNul,
                               A::Delete, "", "", true},
                      TextCase{"tfs_wins",
                               "\x01"
                               "FLAGS tfs kfs\r" +
                                   kNul,
                               A::Truncate, "", "", false},
                      TextCase{"no_flags",
                               "\x01"
                               "FLAGS DIR\rHello\r" +
                                   kNul,
                               A::Nothing, "", "", true},
                      TextCase{"topt", "\x01TOPT 5\rHi you\r" + kNul, A::Nothing, "5", "", true},
                      TextCase{"topt_five_chars", "\x01TOPT 1234567\r" + kNul, A::Nothing, "12345",
                               "", false},
                      TextCase{"intl", "\x01INTL 1:236/100 2:236/1\r\x01TOPT 3\rText!\r" + kNul,
                               A::Nothing, "3", "1", true},
                      TextCase{"intl_without_colon", "\x01INTL 236/100\rabcd" + kNul, A::Nothing,
                               "", "236/100", true},
                      // Five bytes say nothing, even a kludge.
                      TextCase{"five_bytes", "\x01TOPT", A::Nothing, "", "", false},
                      // No kludge: the first line goes, the rest is text.
                      TextCase{"plain", "Line one\rLine two\r" + kNul, A::Nothing, "", "", true},
                      TextCase{"three_left", "\x01MSGID: 1\rabc" + kNul, A::Nothing, "", "", false},
                      TextCase{"four_left", "\x01MSGID: 1\rabcd" + kNul, A::Nothing, "", "", true},
                      // What follows the NUL is no message text.
                      TextCase{"after_nul", "\x01MSGID: 1\r" + kNul + "\x01TOPT 7\rmore text",
                               A::Nothing, "", "", false},
                      // A kludge cut off at the end: what follows the last 0x01 stays.
                      TextCase{"cut_off", "Hello\r\x01TOPT ", A::Nothing, "", "", true}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return info.param.label; });

TEST(InspectNetmailText, OnlyTheFirstTenThousandBytesCount) {
  std::string text(kMaxNetmailTextScan - 3, 'x');
  text += "\x01TOPT 9\r";
  EXPECT_EQ(InspectNetmailText(text).point, "");
  EXPECT_EQ(InspectNetmailText(text.substr(8)).point, "9");
}

}  // namespace
}  // namespace kestrel::outbound
