// SPDX-License-Identifier: GPL-2.0-or-later
#include "gui/window_position.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"

namespace kestrel::gui {
namespace {

const WindowPosition kBuiltIn{{126, 276, 624, 459}, 0, 0};

std::string Bytes(const std::array<std::uint8_t, kPositionRecordSize>& record) {
  return std::string(reinterpret_cast<const char*>(record.data()), record.size());
}

TEST(WindowPositionTest, RecordIsSixLittleEndianValuesInFileOrder) {
  const WindowPosition position{{0x0102, 0x0304, 624, 459}, 1024, 768};
  const std::string expected("\x02\x01\x04\x03\x70\x02\xCB\x01\x00\x04\x00\x03", 12);
  EXPECT_EQ(Bytes(EncodePosition(position)), expected);
  EXPECT_EQ(DecodePosition(expected, kBuiltIn), position);
}

TEST(WindowPositionTest, NegativeValuesAreStoredAsLargeUnsignedNumbers) {
  const WindowPosition position{{-4, -10, 624, 459}, 800, 600};
  const auto decoded = DecodePosition(Bytes(EncodePosition(position)), kBuiltIn);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->window.top, 65532);
  EXPECT_EQ(decoded->window.left, 65526);
  // The screen fitting brings such a window back to the edge.
  EXPECT_EQ(FitToScreen(decoded->window, 800, 600), (WindowRect{0, 0, 624, 459}));
}

TEST(WindowPositionTest, ShortRecordKeepsBuiltInValuesForWhatIsMissing) {
  struct Case {
    std::size_t length;
    WindowRect expected;
  };
  const std::string full = Bytes(EncodePosition({{10, 20, 700, 500}, 1024, 768}));
  const Case cases[] = {
      {1, {126, 276, 624, 459}},  // half a value is no value
      {2, {10, 276, 624, 459}},  {5, {10, 20, 624, 459}},
      {8, {10, 20, 700, 500}},   {12, {10, 20, 700, 500}},
  };
  for (const auto& c : cases) {
    const auto decoded = DecodePosition(full.substr(0, c.length), kBuiltIn);
    ASSERT_TRUE(decoded) << c.length;
    EXPECT_EQ(decoded->window, c.expected) << c.length;
  }
  EXPECT_FALSE(DecodePosition("", kBuiltIn));
}

TEST(WindowPositionTest, FitToScreen) {
  struct Case {
    WindowRect window;
    int screen_width, screen_height;
    WindowRect expected;
  };
  const Case cases[] = {
      {{126, 276, 624, 459}, 1024, 768, {126, 276, 624, 459}},  // fits
      {{100, 900, 624, 459}, 800, 600, {100, 0, 624, 459}},     // sticks out right
      {{300, 100, 624, 459}, 800, 600, {0, 100, 624, 459}},     // sticks out below
      {{0, 0, 1200, 900}, 800, 600, {0, 0, 800, 600}},          // larger than the screen
      {{10, 176, 624, 459}, 800, 600, {10, 176, 624, 459}},     // touches the right edge
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FitToScreen(c.window, c.screen_width, c.screen_height), c.expected)
        << c.window.left << "," << c.window.top;
  }
}

TEST(WindowPositionTest, FileRoundTripAndMissingFile) {
  testing::TempDir dir;
  const std::string path = dir.File("KESTREL.POS");
  EXPECT_FALSE(LoadPositionFile(path, kBuiltIn));

  const WindowPosition written{{40, 900, 624, 459}, 1024, 768};
  ASSERT_TRUE(SavePositionFile(path, written));
  EXPECT_EQ(dir.Read("KESTREL.POS").size(), kPositionRecordSize);
  EXPECT_EQ(LoadPositionFile(path, kBuiltIn), written);

  // Written on 1024 x 768 with left 900, opened on 800 x 600: left 0.
  const auto loaded = LoadPositionFile(path, kBuiltIn);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(FitToScreen(loaded->window, 800, 600), (WindowRect{40, 0, 624, 459}));
}

TEST(WindowPositionTest, UnwritablePlaceIsReportedNotThrown) {
  testing::TempDir dir;
  EXPECT_FALSE(SavePositionFile(dir.File("missing/dir/KESTREL.POS"), kBuiltIn));
}

}  // namespace
}  // namespace kestrel::gui
