// SPDX-License-Identifier: GPL-2.0-or-later
// The record of sent messages across runs: fields that cannot break a line,
// what a crash can leave of it, and how it stays bounded.

#include "send/sent_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/temp_dir.h"

namespace kestrel::send {
namespace {

constexpr std::int64_t kNow = 1'800'000'000;
constexpr std::int64_t kDay = 24 * 60 * 60;

std::string Id(std::size_t number) {
  return "<" + std::to_string(number) + "@example.org>";
}

TEST(SentRecordTest, FieldsComeBackWholeAndATornEndIsCutBeforeTheNextEntry) {
  testing::TempDir dir;
  const std::string path = dir.File("KESTREL.SNT");
  const std::string long_path = "/files/" + std::string(400, 'x');
  std::string error;
  {
    SentRecord record(path);
    ASSERT_TRUE(record.Load(kNow, error)) << error;  // none yet: empty
    ASSERT_TRUE(record.Record(
        {0, "<a b@example.org>", "2:236/100.0", "a@example.org,b@x.org", "/files/my file%20\t.zip"},
        kNow, error));
    ASSERT_TRUE(record.Record({0, Id(1), "", "c@example.org", long_path}, kNow, error));
    ASSERT_TRUE(record.Record({0, Id(2), "-", "", "/files/b.zip"}, kNow, error));
  }
  // A crash in the middle of an append leaves a line without its end.
  dir.Write("KESTREL.SNT", dir.Read("KESTREL.SNT") + "1800000000 " + Id(3) + " 2:236");
  SentRecord record(path);
  ASSERT_TRUE(record.Load(kNow, error)) << error;
  const SentRecord::Entry* first = record.Find("<a b@example.org>");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->node, "2:236/100.0");
  EXPECT_EQ(first->addresses, "a@example.org,b@x.org");
  EXPECT_EQ(first->path, "/files/my file%20\t.zip");
  const SentRecord::Entry* cut = record.Find(Id(1));
  ASSERT_NE(cut, nullptr);
  EXPECT_EQ(cut->node, "");
  EXPECT_TRUE(cut->path.starts_with("/files/xxx") && cut->path.ends_with("...")) << cut->path;
  EXPECT_LT(cut->path.size(), long_path.size());
  ASSERT_NE(record.Find(Id(2)), nullptr);
  EXPECT_EQ(record.Find(Id(2))->node, "-");
  EXPECT_FALSE(record.Has(Id(3)));
  EXPECT_FALSE(record.Has(""));

  ASSERT_TRUE(record.Record({0, Id(4), "2:236/200.0", "d@example.org", "/d"}, kNow, error));
  // An entry whose sync waits for its message's bookkeeping is in the file at once.
  ASSERT_TRUE(record.RecordForSync({0, Id(5), "2:236/200.0", "d@example.org", "/e"}, kNow, error));
  EXPECT_TRUE(record.SyncRecorded(error)) << error;
  const std::string content = dir.Read("KESTREL.SNT");
  EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 5);
  EXPECT_EQ(content.find(Id(3)), std::string::npos);
  ASSERT_TRUE(record.Load(kNow, error)) << error;
  EXPECT_TRUE(record.Has(Id(4)));
  EXPECT_TRUE(record.Has(Id(5)));
  // A sync that cannot be made is told, once.
  ASSERT_TRUE(record.RecordForSync({0, Id(6), "2:236/200.0", "d@example.org", "/f"}, kNow, error));
  std::filesystem::remove(path);
  error.clear();
  EXPECT_FALSE(record.SyncRecorded(error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(record.SyncRecorded(error));

  // Unreadable: told, and empty.
  const std::string directory = dir.MakeDir("KESTREL.DIR");
  SentRecord unreadable(directory);
  EXPECT_FALSE(unreadable.Load(kNow, error));
  EXPECT_FALSE(error.empty());
}

// A file left untidied is known by its node and path across loads, until a
// later line says it was tidied.
TEST(SentRecordTest, UntidiedFilesAreKnownByNodeAndPathUntilTidied) {
  testing::TempDir dir;
  const std::string path = dir.File("KESTREL.SNT");
  std::string error;
  {
    SentRecord record(path);
    ASSERT_TRUE(record.Load(kNow, error)) << error;
    const SentRecord::Entry sent{0, Id(1), "2:236/100.0", "a@example.org", "/out/my file.pkt"};
    ASSERT_TRUE(record.Record(sent, kNow, error));
    ASSERT_TRUE(record.RecordUntidied(sent, 1234, 1'800'000'000'123'456'789, kNow + 1, error));
    ASSERT_TRUE(record.RecordUntidied({0, Id(2), "2:236/200.0", "b@example.org", "/out/b.pkt"}, 5,
                                      6, kNow, error));
  }
  SentRecord record(path);
  ASSERT_TRUE(record.Load(kNow, error)) << error;
  const SentRecord::Untidied* untidied = record.FindUntidied("2:236/100.0", "/out/my file.pkt");
  ASSERT_NE(untidied, nullptr);
  EXPECT_EQ(untidied->size, 1234u);
  EXPECT_EQ(untidied->modified_ns, 1'800'000'000'123'456'789);
  EXPECT_EQ(untidied->seconds, kNow + 1);
  EXPECT_EQ(untidied->message_id, Id(1));
  EXPECT_EQ(record.FindUntidied("2:236/200.0", "/out/my file.pkt"), nullptr);
  EXPECT_TRUE(record.Has(Id(1)));

  ASSERT_TRUE(record.RecordTidied("2:236/100.0", "/out/my file.pkt", kNow + 2, error));
  EXPECT_EQ(record.FindUntidied("2:236/100.0", "/out/my file.pkt"), nullptr);
  ASSERT_TRUE(record.Load(kNow, error)) << error;
  EXPECT_EQ(record.FindUntidied("2:236/100.0", "/out/my file.pkt"), nullptr);
  EXPECT_NE(record.FindUntidied("2:236/200.0", "/out/b.pkt"), nullptr);
  EXPECT_EQ(record.Find(Id(1))->addresses, "a@example.org");
}

struct BoundsCase {
  const char* label;
  std::size_t old_entries;    // older than the age kept
  std::size_t young_entries;  // a day old
  std::size_t kept;           // the newest this many stay
};

class SentRecordBoundsTest : public ::testing::TestWithParam<BoundsCase> {};

TEST_P(SentRecordBoundsTest, KeepsTheNewestEntriesAndAllOfTheLastSixtyDaysUpToAMaximum) {
  const BoundsCase& test = GetParam();
  testing::TempDir dir;
  const std::size_t total = test.old_entries + test.young_entries;
  std::string content;
  for (std::size_t i = 0; i < total; ++i) {
    const std::int64_t age = i < test.old_entries ? kSentKeptSeconds + kDay : kDay;
    content += std::to_string(kNow - age) + " " + Id(i) + " 2:236/100.0 a@example.org /f\n";
  }
  dir.Write("KESTREL.SNT", content);
  SentRecord record(dir.File("KESTREL.SNT"));
  std::string error;
  ASSERT_TRUE(record.Load(kNow, error)) << error;
  EXPECT_TRUE(record.Has(Id(total - test.kept)));
  EXPECT_EQ(record.Has(Id(total - test.kept - 1)), test.kept == total);
  // Written anew without the dropped ones, so the next run reads it short.
  const std::string rewritten = dir.Read("KESTREL.SNT");
  EXPECT_EQ(static_cast<std::size_t>(std::count(rewritten.begin(), rewritten.end(), '\n')),
            test.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SentRecordBoundsTest,
    ::testing::Values(BoundsCase{"OldBeyondTheNewestGo", kSentKeptEntries + 3, 0, kSentKeptEntries},
                      BoundsCase{"YoungStay", 3, kSentKeptEntries + 3, kSentKeptEntries + 3},
                      BoundsCase{"NeverMoreThanTheMaximum", 0, kSentMaxEntries + 3,
                                 kSentMaxEntries}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace kestrel::send
