// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/attachment_names.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace kestrel::receive {
namespace {

TEST(ParameterValue, CleansQuotesAndStopsAtTheNextParameter) {
  const struct {
    std::string text, value;
  } cases[] = {
      {"\"FILE.ZIP\"", "FILE.ZIP"},
      {"\"FILE.ZIP\"; size=10", "FILE.ZIP"},
      {"\"NO CLOSING", "NO CLOSING"},
      {"FILE.ZIP", "FILE.ZIP"},
      {"FILE.ZIP; size=10", "FILE.ZIP"},
      {"FILE.ZIP   ", "FILE.ZIP"},
      {"\"\"", ""},
      {std::string(300, 'A'), std::string(kMaxParameterValue, 'A')},
  };
  for (const auto& c : cases) EXPECT_EQ(ParameterValue(c.text), c.value) << c.text;
}

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

TEST_F(FreeNameTest, ReplacesTheLastCharacterInSequence) {
  EXPECT_EQ(FindFreeName(inbound, "FILE.ZIP"), "FILE.ZIP");
  dir.Write("IN/FILE.ZIP", "old");
  dir.Write("IN/file.zi1", "old");  // names match regardless of letter case
  EXPECT_EQ(FindFreeName(inbound, "FILE.ZIP"), "FILE.ZI2");
  EXPECT_EQ(WriteAndPublish(inbound, "FILE.ZIP", "new"), "FILE.ZI2");
  EXPECT_EQ(dir.Read("IN/FILE.ZIP"), "old");
  EXPECT_EQ(dir.Read("IN/FILE.ZI2"), "new");
  EXPECT_FALSE(dir.Exists("IN/.FILE.ZIP.kestrel-partial"));
}

TEST_F(FreeNameTest, NoNameAfterTheLastVariantAndNothingOverwritten) {
  for (char c : kRenameSequence) dir.Write(std::string("IN/2F6E0100.PK") + c, "x");
  dir.Write("IN/2F6E0100.PKT", "0");
  EXPECT_EQ(FindFreeName(inbound, "2F6E0100.PKT"), std::nullopt);
  EXPECT_EQ(WriteAndPublish(inbound, "2F6E0100.PKT", "new"), std::nullopt);
  EXPECT_EQ(dir.Read("IN/2F6E0100.PKZ"), "x");
  EXPECT_EQ(dir.Read("IN/2F6E0100.PKT"), "0");
}

TEST_F(FreeNameTest, NameTakenWhileTheFileWasWrittenIsNotReplaced) {
  platform::UniqueFile file = CreatePartialFile(inbound, "RACE.PKT");
  ASSERT_TRUE(file);
  file.reset();
  dir.Write("IN/RACE.PKT", "theirs");
  EXPECT_EQ(PublishPartialFile(inbound, "RACE.PKT", "RACE.PKT"), "RACE.PK1");
  EXPECT_EQ(dir.Read("IN/RACE.PKT"), "theirs");
}

TEST_F(FreeNameTest, LinksInTheInboundAreNeverFollowed) {
  const std::string target = dir.File("outside");
  ASSERT_EQ(::symlink(target.c_str(), (inbound + "FILE.ZIP").c_str()), 0);
  ASSERT_EQ(::symlink(target.c_str(), (inbound + ".FILE.ZIP.kestrel-partial").c_str()), 0);
  EXPECT_EQ(WriteAndPublish(inbound, "FILE.ZIP", "new"), "FILE.ZI1");
  EXPECT_FALSE(std::filesystem::exists(target));
  EXPECT_EQ(dir.Read("IN/FILE.ZI1"), "new");
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
