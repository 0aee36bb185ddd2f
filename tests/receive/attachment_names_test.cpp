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

TEST_F(FreeNameTest, ReplacesTheLastCharacterInSequence) {
  EXPECT_EQ(FindFreeName(inbound, "FILE.ZIP"), "FILE.ZIP");
  dir.Write("IN/FILE.ZIP", "old");
  dir.Write("IN/file.zi1", "old");  // names match regardless of letter case
  EXPECT_EQ(FindFreeName(inbound, "FILE.ZIP"), "FILE.ZI2");
  const CreatedFile created = CreateUnderFreeName(inbound, "FILE.ZIP");
  ASSERT_TRUE(created.file);
  EXPECT_EQ(created.name, "FILE.ZI2");
  EXPECT_EQ(dir.Read("IN/FILE.ZIP"), "old");
}

TEST_F(FreeNameTest, NoNameAfterTheLastVariantAndNothingOverwritten) {
  for (char c : kRenameSequence) dir.Write(std::string("IN/2F6E0100.PK") + c, "x");
  dir.Write("IN/2F6E0100.PKT", "0");
  EXPECT_EQ(FindFreeName(inbound, "2F6E0100.PKT"), std::nullopt);
  const CreatedFile created = CreateUnderFreeName(inbound, "2F6E0100.PKT");
  EXPECT_FALSE(created.file);
  EXPECT_TRUE(created.no_free_name);
  EXPECT_EQ(dir.Read("IN/2F6E0100.PKZ"), "x");
  EXPECT_EQ(dir.Read("IN/2F6E0100.PKT"), "0");
}

TEST_F(FreeNameTest, ALinkUnderTheNameIsNeverFollowed) {
  const std::string target = dir.File("outside");
  ASSERT_EQ(::symlink(target.c_str(), (inbound + "FILE.ZIP").c_str()), 0);
  const CreatedFile created = CreateUnderFreeName(inbound, "FILE.ZIP");
  ASSERT_TRUE(created.file);
  EXPECT_EQ(created.name, "FILE.ZI1");
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(FreeNameTest, AMissingInboundIsNotAFreeNameProblem) {
  const CreatedFile created = CreateUnderFreeName(dir.File("MISSING/"), "FILE.ZIP");
  EXPECT_FALSE(created.file);
  EXPECT_FALSE(created.no_free_name);
}

}  // namespace
}  // namespace kestrel::receive
