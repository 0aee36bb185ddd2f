// SPDX-License-Identifier: GPL-2.0-or-later
// The home's small records for the status: refusals and bounces stay within
// their bound with the newest kept, and each side's last run keeps the other's.

#include "core/link_events.h"

#include <gtest/gtest.h>

#include <string>

#include "core/run_record.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace kestrel::core {
namespace {

TEST(LinkEventsTest, TheRecordStaysBoundedAndKeepsTheNewest) {
  const testing::TempDir home;
  const std::string path = home.File("KESTREL.LNK");
  const std::string reply(kMaxLinkEventText + 40, 'x');
  constexpr int kEvents = 2000;  // several times the bound
  for (int i = 0; i < kEvents; ++i) {
    ASSERT_TRUE(RecordLinkEvent(path, LinkEventKind::Refused, "2:236/200.0",
                                std::to_string(i) + " " + reply + "\r\nRCPT"));
  }
  ASSERT_TRUE(RecordLinkEvent(path, LinkEventKind::Bounced, "2:236/ 300", "a.pkt"));
  EXPECT_LE(platform::FileSize(path).value_or(0), kMaxLinkEventBytes);
  const std::vector<LinkEvent> events = ReadLinkEvents(path);
  ASSERT_GT(events.size(), 100u);
  EXPECT_EQ(events.back().kind, LinkEventKind::Bounced);
  EXPECT_EQ(events.back().node, "2:236/_300");  // one field, whatever it held
  const LinkEvent& last_refusal = events[events.size() - 2];
  EXPECT_EQ(last_refusal.text.substr(0, 5), std::to_string(kEvents - 1) + " ");
  EXPECT_EQ(last_refusal.text.size(), kMaxLinkEventText);
}

TEST(RunRecordTest, EachSideKeepsItsOwnLine) {
  const testing::TempDir home;
  const std::string path = home.File("KESTREL.RUN");
  EXPECT_FALSE(ReadRunEnd(path, Side::Sending));
  ASSERT_TRUE(RecordRunEnd(path, Side::Sending, 1));
  ASSERT_TRUE(RecordRunEnd(path, Side::Receiving, 0));
  ASSERT_TRUE(RecordRunEnd(path, Side::Sending, 2));
  EXPECT_EQ(ReadRunEnd(path, Side::Sending).value_or(RunEnd{}).exit_status, 2);
  EXPECT_EQ(ReadRunEnd(path, Side::Receiving).value_or(RunEnd{0, 9}).exit_status, 0);
}

}  // namespace
}  // namespace kestrel::core
