// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/intake/attachment_names.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace kestrel::receive {
namespace {

TEST(SafeAttachmentName, KeepsOnlyABareNameInsideTheInbound) {
  const struct {
    std::string name, safe;
  } cases[] = {
      {"FILE.ZIP", "FILE.ZIP"},
      {"C:\\FIDO\\OUT\\2F6E0100.PKT", "2F6E0100.PKT"},
      {"../../etc/passwd", "passwd"},
      {"/etc/passwd", "passwd"},
      {"..", ""},
      {".", ""},
      {"dir/..", ""},
      {"", ""},
      {"   ", ""},
      {"a\x01"
       "b\tc",
       "a_b_c"},
      {std::string("a\0b", 3), "a_b"},
      {" SPACED.ZIP ", "SPACED.ZIP"},
      {"X:", ""},
      {std::string(200, 'L') + ".pkt", std::string(kMaxNameBytes - 4, 'L') + ".pkt"},
      // Cut at a character boundary: each "\u20ac" takes three bytes.
      {[] {
         std::string s;
         for (int i = 0; i < 60; ++i) s += "\u20ac";
         return s + ".tic";
       }(),
       [] {
         std::string s;
         for (int i = 0; i < 41; ++i) s += "\u20ac";
         return s + ".tic";
       }()},
  };
  for (const auto& c : cases) EXPECT_EQ(SafeAttachmentName(c.name), c.safe) << c.name;
}

class FreeNameTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::string inbound = dir.MakeDir("IN") + "/";
};

// A complete file gets the first free name, never an existing entry's.
std::optional<std::string> WriteAndPublish(const std::string& inbound, const std::string& name,
                                           const std::string& content) {
  platform::UniqueFile file = CreatePartialFile(inbound, name);
  if (!file) return std::nullopt;
  std::fputs(content.c_str(), file.get());
  file.reset();
  return PublishPartialFile(inbound, name, name);
}

// A taken name keeps its extension, so the tosser still sees the file.
TEST_F(FreeNameTest, VariantsKeepTheExtension) {
  const struct {
    std::vector<std::string> taken;
    std::string name, free;
  } cases[] = {
      {{}, "FILE.ZIP", "FILE.ZIP"},
      {{"FILE.ZIP", "file_1.zip"}, "FILE.ZIP", "FILE_2.ZIP"},  // letter case does not matter
      {{"2f6e0100.pkt"}, "2f6e0100.pkt", "2f6e0101.pkt"},
      {{"0000FFF0.MO0", "0000FFF1.MO0"}, "0000FFF0.MO0", "0000FFF2.MO0"},
      {{"ffffffff.su9"}, "ffffffff.su9", "00000000.su9"},
      {{"12345678.tic"}, "12345678.tic", "12345679.tic"},
      {{"README"}, "README", "README_1"},
      {{".hidden"}, ".hidden", ".hidden_1"},
      // A later run would remove it as a stale partial file.
      {{}, ".X.PKT.kestrel-partial", ".X.PKT.kestrel-partial_1"},
      {{}, "2f6e0100.KESTREL-PARTIAL", "2f6e0100.KESTREL-PARTIAL_1"},
      {{}, "KESTREL.JNL", "KESTREL.JNL"},  // only the home's own files are kept free
  };
  for (const auto& c : cases) {
    testing::TempDir scratch;
    const std::string in = scratch.MakeDir("IN") + "/";
    for (const auto& name : c.taken) scratch.Write("IN/" + name, "old");
    EXPECT_EQ(FindFreeName(in, c.name), c.free) << c.name;
    EXPECT_EQ(WriteAndPublish(in, c.name, "new"), c.free) << c.name;
    EXPECT_EQ(scratch.Read("IN/" + c.free), "new");
    for (const auto& name : c.taken) EXPECT_EQ(scratch.Read("IN/" + name), "old");
  }
}

TEST_F(FreeNameTest, NoNameAfterTheLastVariantAndNothingOverwritten) {
  dir.Write("IN/X.PKT", "0");
  for (std::size_t i = 1; i < kMaxNameCandidates; ++i) {
    dir.Write("IN/X_" + std::to_string(i) + ".PKT", "x");
  }
  EXPECT_EQ(FindFreeName(inbound, "X.PKT"), std::nullopt);
  EXPECT_EQ(WriteAndPublish(inbound, "X.PKT", "new"), std::nullopt);
  EXPECT_EQ(dir.Read("IN/X_999.PKT"), "x");
  EXPECT_EQ(dir.Read("IN/X.PKT"), "0");
}

TEST_F(FreeNameTest, NameTakenWhileTheFileWasWrittenIsNotReplaced) {
  platform::UniqueFile file = CreatePartialFile(inbound, "RACE.PKT");
  ASSERT_TRUE(file);
  file.reset();
  dir.Write("IN/RACE.PKT", "theirs");
  EXPECT_EQ(PublishPartialFile(inbound, "RACE.PKT", "RACE.PKT"), "RACE_1.PKT");
  EXPECT_EQ(dir.Read("IN/RACE.PKT"), "theirs");
}

TEST_F(FreeNameTest, LinksInTheInboundAreNeverFollowed) {
  const std::string target = dir.File("outside");
  ASSERT_EQ(::symlink(target.c_str(), (inbound + "FILE.ZIP").c_str()), 0);
  ASSERT_EQ(::symlink(target.c_str(), (inbound + ".FILE.ZIP.kestrel-partial").c_str()), 0);
  EXPECT_EQ(WriteAndPublish(inbound, "FILE.ZIP", "new"), "FILE_1.ZIP");
  EXPECT_FALSE(std::filesystem::exists(target));
  EXPECT_EQ(dir.Read("IN/FILE_1.ZIP"), "new");
}

TEST_F(FreeNameTest, StalePartialFilesAreRemovedAndNothingElse) {
  dir.Write("IN/.OLD.PKT.kestrel-partial", "half");
  dir.Write("IN/KEEP.PKT", "whole");
  RemoveStalePartialFiles(inbound);
  EXPECT_FALSE(dir.Exists("IN/.OLD.PKT.kestrel-partial"));
  EXPECT_EQ(dir.Read("IN/KEEP.PKT"), "whole");
  EXPECT_FALSE(CreatePartialFile(dir.File("MISSING/"), "FILE.ZIP"));
}

}  // namespace
}  // namespace kestrel::receive
