// SPDX-License-Identifier: GPL-2.0-or-later
// The journal of received mail across runs: what it remembers, what proves a
// copy, what a crash can leave of it, and how it stays bounded.

#include "receive/intake/received_journal.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/temp_dir.h"

namespace kestrel::receive {
namespace {

constexpr std::int64_t kNow = 1'800'000'000;
constexpr std::int64_t kDay = 24 * 60 * 60;
constexpr std::string_view kBox = "fido@pop:110";
const std::string kDigestA(64, 'a');
const std::string kDigestB(64, 'b');

std::size_t Lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A Message-ID folded over many lines, as a hostile sender may send it.
std::string HugeMessageId() {
  std::string id = "<";
  while (id.size() < 250'000) id += "part-of-a-very-long-id.";
  return id + "@example.org>";
}

TEST(ReceivedJournalTest, RemembersAcrossRunsAndSurvivesATornEnd) {
  testing::TempDir dir;
  const std::string path = dir.File("KESTREL.JNL");
  std::string error;
  {
    ReceivedJournal journal(path);
    ASSERT_TRUE(journal.Load(kNow, error)) << error;  // none yet: empty
    ASSERT_TRUE(journal.Record(kBox, "UID 1", "<a@example.org>", kDigestA, kNow, error));
    ASSERT_TRUE(journal.Record(kBox, "", "", "", kNow, error));
  }
  // A crash in the middle of an append leaves a line without its end.
  const std::string whole = dir.Read("KESTREL.JNL");
  dir.Write("KESTREL.JNL", whole + "1800000000 fido@pop:110 UID");
  ReceivedJournal journal(path);
  ASSERT_TRUE(journal.Load(kNow, error)) << error;
  EXPECT_TRUE(journal.IsSuspect(kBox, "UID 1", ""));             // blanks never split a field
  EXPECT_FALSE(journal.IsSuspect("fido@pop:995", "UID 1", ""));  // unique ids are per mailbox
  EXPECT_FALSE(journal.IsSuspect(kBox, "UID", ""));
  EXPECT_FALSE(journal.IsSuspect(kBox, "", ""));
  EXPECT_TRUE(journal.IsSuspect(kBox, "", "<a@example.org>"));

  // Cut back to its last whole line, so the next entry is a line of its own.
  ASSERT_TRUE(journal.Record(kBox, "U2", "", kDigestB, kNow, error)) << error;
  ASSERT_TRUE(journal.Load(kNow, error)) << error;
  EXPECT_EQ(Lines(dir.Read("KESTREL.JNL")), 3u);
  EXPECT_EQ(dir.Read("KESTREL.JNL").rfind(whole, 0), 0u);
  EXPECT_TRUE(journal.IsCopy(kBox, "U2", "", kDigestB));

  dir.Write("KESTREL.JNL", "1800000000 fido@pop:110 U1 -\nsomething else\n");
  EXPECT_FALSE(journal.Load(kNow, error));
  EXPECT_EQ(error, "line 2 is not an entry");
}

// What the dialogue asks of a message met again, against a journal holding
// an entry of an earlier version (no digest) and two of this one.
TEST(ReceivedJournalTest, OnlyTheSameContentUnderTheSameNameIsACopy) {
  testing::TempDir dir;
  dir.Write("KESTREL.JNL", "1799999000 fido@pop:110 OLD <old@example.org>\n");
  ReceivedJournal journal(dir.File("KESTREL.JNL"));
  std::string error;
  ASSERT_TRUE(journal.Load(kNow, error)) << error;
  ASSERT_TRUE(journal.Record(kBox, "U1", "<a@example.org>", kDigestA, kNow, error));
  ASSERT_TRUE(journal.Record(kBox, "U2", "<>", kDigestB, kNow, error));
  struct Case {
    std::string_view uid, message_id, digest;
    bool suspect, copy;
  } const cases[] = {
      {"U1", "<a@example.org>", kDigestA, true, true},
      {"U9", "<a@example.org>", kDigestA, true, true},     // a retry under a new uid
      {"U9", "<a@example.org>", kDigestB, true, false},    // another message, the same id
      {"U1", "<new@example.org>", kDigestB, true, false},  // the server reused a uid
      {"U1", "<a@example.org>", "", true, false},          // no digest proves nothing
      {"U9", "<>", kDigestB, false, false},                // "<>" is no Message-ID
      {"U9", "", kDigestA, false, false},
      {"OLD", "", kDigestA, true, false},  // an old entry never proves a copy
      {"U9", "<old@example.org>", kDigestA, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.uid) + " " + std::string(c.message_id));
    EXPECT_EQ(journal.IsSuspect(kBox, c.uid, c.message_id), c.suspect);
    EXPECT_EQ(journal.IsCopy(kBox, c.uid, c.message_id, c.digest), c.copy);
  }
}

TEST(ReceivedJournalTest, AHugeMessageIdTakesAShortLine) {
  testing::TempDir dir;
  const std::string id = HugeMessageId();
  // An earlier version wrote it whole; it is shortened on reading.
  dir.Write("KESTREL.JNL", "1799999000 fido@pop:110 OLD " + id + "\n");
  ReceivedJournal journal(dir.File("KESTREL.JNL"));
  std::string error;
  ASSERT_TRUE(journal.Load(kNow, error)) << error;
  ASSERT_TRUE(journal.Record(kBox, "U1", id, kDigestA, kNow, error)) << error;
  EXPECT_LT(dir.Read("KESTREL.JNL").size(), 2 * 4 * kJournalFieldChars);
  ASSERT_TRUE(journal.Load(kNow, error)) << error;
  EXPECT_TRUE(journal.IsSuspect(kBox, "U9", id));
  EXPECT_TRUE(journal.IsCopy(kBox, "U9", id, kDigestA));
  EXPECT_FALSE(journal.IsSuspect(kBox, "U9", id.substr(1)));
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
  EXPECT_FALSE(journal.IsSuspect("m", "old4", ""));
  EXPECT_TRUE(journal.IsSuspect("m", "kept1", ""));
  EXPECT_TRUE(journal.IsSuspect("m", "recent", ""));
  // Written anew without them, so the next run reads the short journal.
  EXPECT_EQ(dir.Read("KESTREL.JNL").find(" old"), std::string::npos);
}

TEST(ReceivedJournalTest, NeverHoldsMoreThanItsCapWhateverTheAges) {
  testing::TempDir dir;
  // Entries of a flood, all of today; the last thousand come through Record.
  const std::size_t entries = 30'000;
  const std::size_t recorded = 1'000;
  std::string content;
  for (std::size_t i = 0; i < entries - recorded; ++i) {
    content +=
        std::to_string(kNow) + " fido@pop:110 U" + std::to_string(i) + " - " + kDigestA + "\n";
  }
  dir.Write("KESTREL.JNL", content);
  ReceivedJournal journal(dir.File("KESTREL.JNL"));
  std::string error;
  ASSERT_TRUE(journal.Load(kNow, error)) << error;
  for (std::size_t i = entries - recorded; i < entries; ++i) {
    ASSERT_TRUE(journal.Record(kBox, "U" + std::to_string(i), "", kDigestA, kNow, error));
  }
  ASSERT_TRUE(journal.Load(kNow, error)) << error;
  EXPECT_EQ(Lines(dir.Read("KESTREL.JNL")), kJournalMaxEntries);
  EXPECT_FALSE(journal.IsSuspect(kBox, "U0", ""));
  EXPECT_TRUE(journal.IsCopy(kBox, "U" + std::to_string(entries - 1), "", kDigestA));
}

}  // namespace
}  // namespace kestrel::receive
