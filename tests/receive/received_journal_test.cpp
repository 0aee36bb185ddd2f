// SPDX-License-Identifier: GPL-2.0-or-later
// The journal of received mail across runs: what it remembers, what a crash
// can leave of it, and how it stays bounded.

#include "receive/received_journal.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace kestrel::receive {
namespace {

constexpr std::int64_t kNow = 1'800'000'000;
constexpr std::int64_t kDay = 24 * 60 * 60;

TEST(ReceivedJournalTest, RemembersAcrossRunsAndSurvivesATornEnd) {
  testing::TempDir dir;
  const std::string path = dir.File("KESTREL.JNL");
  std::string error;
  {
    ReceivedJournal journal(path);
    ASSERT_TRUE(journal.Load(kNow, error)) << error;  // none yet: empty
    ASSERT_TRUE(journal.Record("fido@pop:110", "UID 1", "<a@example.org>", kNow, error));
    ASSERT_TRUE(journal.Record("fido@pop:110", "", "", kNow, error));
  }
  // A crash in the middle of an append leaves a line without its end.
  dir.Write("KESTREL.JNL", dir.Read("KESTREL.JNL") + "1800000000 fido@pop:110 UID");
  ReceivedJournal journal(path);
  ASSERT_TRUE(journal.Load(kNow, error)) << error;
  EXPECT_TRUE(journal.HasUid("fido@pop:110", "UID 1"));   // blanks never split a field
  EXPECT_FALSE(journal.HasUid("fido@pop:995", "UID 1"));  // unique ids are per mailbox
  EXPECT_FALSE(journal.HasUid("fido@pop:110", "UID"));
  EXPECT_FALSE(journal.HasUid("fido@pop:110", ""));
  EXPECT_TRUE(journal.HasMessageId("<a@example.org>"));
  EXPECT_FALSE(journal.HasMessageId(""));

  dir.Write("KESTREL.JNL", "1800000000 fido@pop:110 U1 -\nsomething else\n");
  EXPECT_FALSE(journal.Load(kNow, error));
  EXPECT_EQ(error, "line 2 is not an entry");
}

TEST(ReceivedJournalTest, KeepsTheNewestEntriesAndAllOfTheLastSixtyDays) {
  testing::TempDir dir;
  std::string content;
  const std::size_t old = 5;
  for (std::size_t i = 0; i < old; ++i) {
    content += std::to_string(kNow - 61 * kDay) + " m old" + std::to_string(i) + " -\n";
  }
  for (std::size_t i = 0; i < kJournalKeptEntries; ++i) {
    content += std::to_string(kNow - 61 * kDay) + " m kept" + std::to_string(i) + " -\n";
  }
  content += std::to_string(kNow - kDay) + " m recent -\n";
  dir.Write("KESTREL.JNL", content);
  ReceivedJournal journal(dir.File("KESTREL.JNL"));
  std::string error;
  ASSERT_TRUE(journal.Load(kNow, error)) << error;
  EXPECT_FALSE(journal.HasUid("m", "old4"));
  EXPECT_TRUE(journal.HasUid("m", "kept1"));
  EXPECT_TRUE(journal.HasUid("m", "recent"));
  // Written anew without them, so the next run reads the short journal.
  EXPECT_EQ(dir.Read("KESTREL.JNL").find(" old"), std::string::npos);
}

}  // namespace
}  // namespace kestrel::receive
