// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/text_utils.h"

#include <gtest/gtest.h>

#include "core/stopwatch.h"
#include "support/fake_clock.h"

namespace kestrel::core {
namespace {

TEST(NumberTexts, PadAndOverflowWithQuestionMark) {
  EXPECT_EQ(ZeroPadNumber(7, 2), "07");
  EXPECT_EQ(ZeroPadNumber(2026, 2), "?6");
  EXPECT_EQ(ZeroPadNumber(1, 8), "00000001");
  EXPECT_EQ(SpacePadNumber(6, 2), " 6");
  EXPECT_EQ(SpacePadNumber(123, 2), "?3");
  EXPECT_EQ(SpacePadNumber(12345, 3), "?45");
}

TEST(DateAndTimeTexts, FollowTheLocalClock) {
  testing::FakeClock clock({2026, 12, 6, 8, 5, 0, 0});
  EXPECT_EQ(TimeText(), "08:05 ");
  EXPECT_EQ(DateText(), " 6-Dec-2026");
  clock.Set({2027, 1, 1, 23, 59, 0, 0});
  EXPECT_EQ(DateText(), " 1-Jan-2027");
  clock.Set({2026, 12, 16, 0, 0, 0, 0});
  EXPECT_EQ(DateText(), "16-Dec-2026");
}

TEST(TextToInt, TakesTheLeadingNumberOrZero) {
  struct Case {
    const char* text;
    std::int32_t value;
  } cases[] = {{"15 minutes", 15},
               {"12abc", 12},
               {"abc", 0},
               {"-7", -7},
               {"1-2", 0},
               {"", 0},
               {"-", 0},
               {"99999999999", 0},
               {" 5", 0},
               {"2147483647", 2147483647},
               {"-2147483648", INT32_MIN}};
  for (const auto& c : cases) EXPECT_EQ(TextToInt(c.text), c.value) << c.text;
}

TEST(Words, TabEndsSkippingButNotAWord) {
  const std::string text = "  ab\tcd ef";
  EXPECT_EQ(WordAt(text, 1), "ab\tcd");
  EXPECT_EQ(WordAt(text, 2), "ef");
  EXPECT_EQ(WordAt(text, 3), "");
  EXPECT_EQ(WordAt(text, 0), "");
  EXPECT_EQ(WordAt(std::string(100, 'x'), 1).size(), kMaxWord);
}

TEST(Words, DeleteKeepsTheBlanksAround) {
  EXPECT_EQ(DeleteWord("A B C", 2), "A  C");
  EXPECT_EQ(DeleteWord("KEY value", 1), " value");
  EXPECT_EQ(DeleteWord("one", 3), "one");
  EXPECT_EQ(TrimLeadingBlanks("  \tx y"), "\tx y");
}

TEST(Paths, StripTrailingBackslashKeepsRoots) {
  EXPECT_EQ(StripTrailingBackslash("C:\\FIDO\\"), "C:\\FIDO");
  EXPECT_EQ(StripTrailingBackslash("C:\\"), "C:\\");
  EXPECT_EQ(StripTrailingBackslash("\\"), "");
  EXPECT_EQ(StripTrailingBackslash("/home/fido/"), "/home/fido");
  EXPECT_EQ(StripTrailingBackslash("/"), "/");
  EXPECT_EQ(StripTrailingBackslash("C:\\FIDO"), "C:\\FIDO");
}

TEST(Stopwatch, CountsWholeSecondsAcrossMidnightAndAClockSetBack) {
  testing::FakeClock clock({2026, 12, 31, 23, 59, 50, 0});
  Stopwatch stopwatch;
  clock.AdvanceHundredths(1500);
  EXPECT_EQ(stopwatch.ElapsedSeconds(), 15);
  // The wall clock set back an hour changes nothing.
  clock.Set({2026, 12, 31, 23, 0, 5, 0});
  EXPECT_EQ(stopwatch.ElapsedSeconds(), 15);

  stopwatch.Start();
  clock.AdvanceHundredths(99);
  EXPECT_EQ(stopwatch.ElapsedSeconds(), 0);
  clock.AdvanceHundredths(1);
  EXPECT_EQ(stopwatch.ElapsedSeconds(), 1);
}

}  // namespace
}  // namespace kestrel::core
