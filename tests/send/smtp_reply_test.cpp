// SPDX-License-Identifier: GPL-2.0-or-later
// SMTP replies against a raw loopback peer: where a reply ends, and which
// lines are marked as errors before they are logged.

#include "send/smtp_reply.h"

#include <gtest/gtest.h>

#include "support/recording_front_end.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

namespace kestrel::send {
namespace {

using core::Side;
using testing::ScriptedPeer;

class SmtpReplyTest : public ::testing::Test {
 protected:
  // Reads `count` replies from a peer that sends `text`.
  std::vector<net::Reply> Read(const std::string& text, int count) {
    ScriptedPeer peer({ScriptedPeer::Send(text)});
    net::NetSession session(Side::Sending, {"127.0.0.1", peer.port(), "smtp", 25, 5}, logger);
    std::vector<net::Reply> replies;
    net::RunSession(session, [&](net::NetSession& s) {
      for (int i = 0; i < count; ++i) replies.push_back(ReadSmtpReply(s));
    });
    return replies;
  }
  bool Has(const std::string& line) const { return front_end.HasLine(Side::Sending, line); }

  testing::TempDir home;
  testing::RecordingFrontEnd front_end;
  core::Logger logger{front_end, home.path()};
};

TEST_F(SmtpReplyTest, AReplyEndsAtItsLastLineWhateverItsShape) {
  const auto replies = Read("250-first\r\n250 last\r\n250\r\n354 \r\n221 bye\r\n", 4);
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(replies[0].lines, (std::vector<std::string>{"250-first", "250 last"}));
  EXPECT_EQ(replies[1].code, 250);
  EXPECT_EQ(replies[2].code, 354);
  EXPECT_EQ(replies[3].last(), "221 bye");
  EXPECT_FALSE(front_end.HasLineStartingWith(Side::Sending, "<- Error!"));
}

TEST_F(SmtpReplyTest, OnlyUnexpectedLinesAreMarkedAsErrors) {
  struct Case {
    const char* line;
    bool error;
  } cases[] = {{"250 ok", false}, {"354 go ahead", false}, {"334 VXNlcg==", false},
               {"250", false},    {"421 closing", true},   {"OK.", true},
               {"554", true},     {"550-first", false}};
  std::string text;
  for (const auto& c : cases) text += std::string(c.line) + "\r\n";
  text += "550 last\r\n";
  (void)Read(text, 7);
  for (const auto& c : cases) {
    EXPECT_EQ(Has("<- Error! (" + std::string(c.line) + ")"), c.error) << c.line;
    EXPECT_TRUE(Has("<- " + std::string(c.line))) << c.line;
  }
}

}  // namespace
}  // namespace kestrel::send
