// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/send_list.h"

#include <gtest/gtest.h>

namespace kestrel::outbound {
namespace {

TEST(SendList, FullAtItsBound) {
  SendList list;
  for (int i = 1; i <= kMaxSendEntries; ++i) {
    SendEntry entry;
    entry.Path = "F" + std::to_string(i);
    entry.State = SendState::Sent;  // the list makes every new entry Pending
    ASSERT_TRUE(list.Add(entry));
  }
  EXPECT_TRUE(list.Full());
  EXPECT_FALSE(list.Add(SendEntry{}));
  EXPECT_EQ(list.Count(), kMaxSendEntries);
  EXPECT_EQ(list.Entry(kMaxSendEntries).Path, "F" + std::to_string(kMaxSendEntries));
  EXPECT_EQ(list.Entry(1).State, SendState::Pending);
}

TEST(SendList, EarlierPathIsAnExactComparison) {
  SendList list;
  for (const char* path : {"A.ZIP", "B.ZIP", "A.ZIP"}) {
    SendEntry entry;
    entry.Path = path;
    list.Add(entry);
  }
  EXPECT_FALSE(list.HasEarlierPath("A.ZIP", 1));
  EXPECT_TRUE(list.HasEarlierPath("A.ZIP", 3));
  EXPECT_FALSE(list.HasEarlierPath("a.zip", 0));
  EXPECT_TRUE(list.HasEarlierPath("B.ZIP", 0));
  list.TotalBytes = 5;
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.TotalBytes, 0);
  EXPECT_FALSE(list.HasEarlierPath("A.ZIP", 0));
}

}  // namespace
}  // namespace kestrel::outbound
