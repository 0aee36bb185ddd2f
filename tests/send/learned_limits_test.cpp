// SPDX-License-Identifier: GPL-2.0-or-later
// Which refusals say a message was too large, and the learned sizes' file:
// hostile or old lines are dropped, the smaller size is kept, the file
// stays bounded.

#include "send/learned_limits.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace kestrel::send {
namespace {

TEST(LearnedLimitsTest, OnlyPermanentSizeRefusalsCount) {
  struct Case {
    int code;
    std::string line;
    bool for_size;
  };
  const std::vector<Case> cases = {
      {552, "552 message exceeds limit", true},
      {554, "554 5.3.4 Message too big for system", true},
      {550, "550 Message size exceeds fixed maximum", true},
      {550, "550 5.7.1 rejected as spam", false},
      {452, "452 4.3.4 message too big", false},  // transient: tried again
  };
  for (const Case& c : cases) {
    net::Reply reply;
    reply.status = net::ReplyStatus::Ok;
    reply.code = c.code;
    reply.lines = {c.line};
    EXPECT_EQ(RefusedForSize(reply), c.for_size) << c.line;
  }
}

TEST(LearnedLimitsTest, TheFileKeepsTheSmallerSizeAndDropsWhatItCannotUse) {
  const testing::TempDir dir;
  const std::time_t now = 1'800'000'000;
  const std::string route = RouteOf("smtp.example.net", "Node@Example.ORG");
  EXPECT_EQ(route, "smtp.example.net example.org");
  dir.Write("SIZES", "smtp.example.net example.org 40000 " + std::to_string(now - 10) + "\n" +
                         "old.example.net example.org 100 " + std::to_string(now - 90 * 86400) +
                         "\n" + "noroute 5 5\n" + "a b -1 5\n" + "a b 7\n" +
                         std::string(70'000, 'x'));
  LearnedLimits learned(dir.File("SIZES"));
  EXPECT_TRUE(learned.Load(now).has_value());  // above the bound: taken as none
  EXPECT_EQ(learned.For(route), 0u);
  dir.Write("SIZES", "smtp.example.net example.org 40000 " + std::to_string(now - 10) + "\n" +
                         "old.example.net example.org 100 " + std::to_string(now - 90 * 86400) +
                         "\n" + "noroute 5 5\n" + "a b -1 5\n" + "a b 7\n");
  EXPECT_FALSE(learned.Load(now).has_value());
  EXPECT_EQ(learned.For(route), 40000u);
  EXPECT_EQ(learned.For("old.example.net example.org"), 0u);  // forgotten
  EXPECT_EQ(learned.For("a b"), 0u);
  EXPECT_FALSE(learned.Learn(route, 50000, now).has_value());
  EXPECT_FALSE(learned.Learn("other.example.net example.org", 9000, now).has_value());
  LearnedLimits again(dir.File("SIZES"));
  EXPECT_FALSE(again.Load(now).has_value());
  EXPECT_EQ(again.For(route), 40000u);
  EXPECT_EQ(again.For("other.example.net example.org"), 9000u);
}

}  // namespace
}  // namespace kestrel::send
