// SPDX-License-Identifier: GPL-2.0-or-later
// The bounds on the saved texts: what a run removes of the copies earlier
// runs left, and what it never touches.

#include "receive/intake/saved_texts.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "support/program_home_at.h"
#include "support/temp_dir.h"

namespace kestrel::receive {
namespace {

constexpr std::time_t kDay = 24 * 60 * 60;

struct File {
  std::string name;
  double age_days;
  std::size_t bytes;
};

TEST(SavedTextsTest, PruningTakesTheOldestBeyondTheBoundsAndNothingElse) {
  const std::time_t now = std::time(nullptr);
  struct Case {
    const char* name;
    SavedTextBounds bounds;
    std::vector<File> files;
    std::vector<std::string> removed;
  } cases[] = {
      {"older than the days",
       {30, 0},
       {{"00000001.TXT", 40, 10}, {"00000002.TXT", 31, 10}, {"00000003.TXT", 29, 10}},
       {"00000001.TXT", "00000002.TXT"}},
      // The age decides, not the number: the numbers start again after the last.
      {"more bytes than allowed",
       {0, 250},
       {{"00000009.TXT", 5, 100},
        {"00000001.TXT", 4, 100},
        {"00000002.TXT", 3, 100},
        {"00000003.TXT", 2, 100},
        {"00000004.TXT", 0.5, 100}},
       {"00000009.TXT", "00000001.TXT", "00000002.TXT"}},
      {"never younger than a day",
       {1, 10},
       {{"00000001.TXT", 0.9, 1000}, {"00000002.TXT", 0.1, 1000}},
       {}},
      {"no bounds", {0, 0}, {{"00000001.TXT", 4000, 1000}}, {}},
      {"only saved texts",
       {1, 1},
       {{"HIGHEST.DAT", 90, 4},
        {"KESTREL.JNL", 90, 100},
        {"0000001.TXT", 90, 100},
        {"00000001.TXT.kestrel-partial", 90, 100},
        {"00000002.txt", 90, 100}},
       {"00000002.txt"}},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    for (const File& file : c.files) {
      const std::string path = dir.Write(file.name, std::string(file.bytes, 'x'));
      const std::time_t when = now - static_cast<std::time_t>(file.age_days * kDay);
      const timespec times[2] = {{when, 0}, {when, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    std::vector<std::string> lines;
    SavedTexts texts(dir.path() + "/",
                     [&lines](std::string_view line) { lines.emplace_back(line); });
    texts.Prune(c.bounds, now);
    for (const File& file : c.files) {
      const bool expect_removed =
          std::find(c.removed.begin(), c.removed.end(), file.name) != c.removed.end();
      EXPECT_EQ(dir.Exists(file.name), !expect_removed) << c.name << ": " << file.name;
    }
    ASSERT_EQ(lines.size(), c.removed.empty() ? 0u : 1u) << c.name;
    if (!lines.empty()) {
      EXPECT_TRUE(
          lines[0].starts_with("-- Removed " + std::to_string(c.removed.size()) + " saved texts ("))
          << lines[0];
    }
  }
}

// Without SAVEEMAIL the home is the save directory: a home that cannot be
// written is named as the home, whichever of the two is asked for.
TEST(SavedTextsTest, DirectoriesThatCannotBeWrittenAreNamed) {
  testing::TempDir dir;
  const std::string home = dir.MakeDir("home");
  const std::string save = dir.MakeDir("save");
  const std::string missing = dir.File("missing");
  struct Case {
    std::string home;
    std::string save;
    std::string says;  // empty: writable
  } cases[] = {
      {home, save + "/", ""},
      {missing, missing + "/", "-- Home " + missing + " cannot be written (No such file"},
      {missing, save + "/", "-- Home " + missing + " cannot be written (No such file"},
      {home, missing + "/", "-- SaveEmail directory " + missing + " cannot be written (No such"},
  };
  for (const Case& c : cases) {
    const testing::ProgramHomeAt at(c.home);
    std::vector<std::string> lines;
    const SavedTexts texts(c.save, [&lines](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(texts.Writable(), c.says.empty()) << c.says;
    ASSERT_EQ(lines.size(), c.says.empty() ? 0u : 1u) << c.says;
    if (!lines.empty()) {
      EXPECT_TRUE(lines[0].starts_with(c.says)) << lines[0];
    }
  }
}

}  // namespace
}  // namespace kestrel::receive
