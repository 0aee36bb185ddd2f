// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/netmail_pack.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "fido/netmail_packet.h"
#include "platform/files.h"
#include "send/recording_sink.h"
#include "support/fido_files.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace kestrel::send {
namespace {

struct PackFixture : ::testing::Test {
  PackFixture() { setenv("KESTREL_HOME", dir.MakeDir("work").c_str(), 1); }
  ~PackFixture() override { unsetenv("KESTREL_HOME"); }
  testing::TempDir dir;
  testing::RecordingFrontEnd front_end;
  testing::RecordingSink sink;
  outbound::SendList list;
};

TEST_F(PackFixture, PacksIntoTheHomeAndCorrectsTotal) {
  testing::StoredMessage message;
  message.text = {{"MSGID: 1:236/1 abcd"}, {"Hi there"}};
  const std::string stored = testing::EncodeStoredMessage(message);
  const std::string message_path = dir.Write("netmail/1.MSG", stored);
  list.TotalBytes = 5000;

  const PackedNetmail packed =
      PackNetmail(message_path, static_cast<std::int64_t>(stored.size()), list, sink, front_end);
  ASSERT_TRUE(packed.size);
  EXPECT_EQ(packed.path.rfind(dir.File("work/"), 0), 0u) << packed.path;
  EXPECT_EQ(packed.path.substr(packed.path.size() - 4), ".PKT");
  const auto on_disk = platform::ReadFilePrefix(packed.path, 1 << 20);
  ASSERT_TRUE(on_disk);
  EXPECT_EQ(*on_disk, *fido::BuildNetmailPacket(stored));
  EXPECT_EQ(*packed.size, static_cast<std::int64_t>(on_disk->size()));
  const std::int32_t expected_total =
      5000 - static_cast<std::int32_t>(stored.size()) + static_cast<std::int32_t>(*packed.size);
  EXPECT_EQ(list.TotalBytes, expected_total);
  EXPECT_EQ(front_end.Field(core::Field::TotalFileSize), std::to_string(expected_total));
  EXPECT_EQ(platform::ReadFilePrefix(message_path, 1 << 20), stored);  // untouched
}

TEST_F(PackFixture, UnreadableMessageLeavesNoPacket) {
  list.TotalBytes = 10;
  const std::string message_path = dir.Write("netmail/2.MSG", std::string(100, 'x'));
  const PackedNetmail packed = PackNetmail(message_path, 100, list, sink, front_end);
  EXPECT_FALSE(packed.size);
  EXPECT_FALSE(packed.path.empty());
  EXPECT_FALSE(platform::FileExists(packed.path));
  EXPECT_EQ(list.TotalBytes, 10);
}

}  // namespace
}  // namespace kestrel::send
