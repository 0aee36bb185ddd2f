// SPDX-License-Identifier: GPL-2.0-or-later
// A misbehaving IMAP server: whatever it sends without end, the job ends
// with a line that says what, and nothing is taken or removed.
#include <gtest/gtest.h>

#include "core/log.h"
#include "net/net_session.h"
#include "receive/imap_dialogue.h"
#include "support/program_home_at.h"
#include "support/recording_front_end.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

namespace kestrel::receive {
namespace {

using core::Side;
using testing::ScriptedPeer;

// The conversation up to the listing of one message of 100 bytes, UID 9.
std::vector<ScriptedPeer::Step> UpToTheListing(const std::string& select_extra) {
  const std::string capability = "* CAPABILITY IMAP4rev1 UIDPLUS\r\n";
  return {ScriptedPeer::Send("* OK ready\r\n"),
          ScriptedPeer::ReadLine(),
          ScriptedPeer::Send(capability + "A0001 OK\r\n"),
          ScriptedPeer::ReadLine(),
          ScriptedPeer::Send("A0002 OK logged in\r\n"),
          ScriptedPeer::ReadLine(),
          ScriptedPeer::Send(capability + "A0003 OK\r\n"),
          ScriptedPeer::ReadLine(),
          ScriptedPeer::Send(select_extra + "* 1 EXISTS\r\n* OK [UIDVALIDITY 7]\r\nA0004 OK\r\n"),
          ScriptedPeer::ReadLine()};
}

const std::string kListing = "* 1 FETCH (UID 9 RFC822.SIZE 100 FLAGS ())\r\nA0005 OK\r\n";
const std::string kHead = "From: a@example.org\r\n\r\n";

std::string Lines(const std::string& line, int count) {
  std::string lines;
  for (int i = 0; i < count; ++i) lines += line;
  return lines;
}

TEST(ImapBoundsTest, EndlessOrOversizedAnswersEndTheJobWithALine) {
  const struct {
    const char* name;
    std::string select_extra;               // before SELECT's own answer
    std::vector<ScriptedPeer::Step> after;  // after the listing command
    const char* line;
  } cases[] = {
      {"untagged flood", Lines("* OK flood\r\n", 200), {}, "-- Reply of more than 100 lines"},
      {"endless line",
       "",
       {ScriptedPeer::Send("* " + std::string(40000, 'x'))},
       "-- Server line longer than 16384 bytes"},
      {"listing flood",
       "",
       {ScriptedPeer::Send(Lines("* 1 EXISTS\r\n", 1100))},
       "-- Reply of more than 1001 lines"},
      {"endless literal",
       "",
       {ScriptedPeer::Send(kListing), ScriptedPeer::ReadLine(),
        ScriptedPeer::Send("* 1 FETCH (UID 9 BODY[HEADER] {99999999999}\r\n")},
       "-- Reply longer than"},
      {"body far beyond the announced size",
       "",
       {ScriptedPeer::Send(kListing), ScriptedPeer::ReadLine(),
        ScriptedPeer::Send("* 1 FETCH (UID 9 BODY[HEADER] {" + std::to_string(kHead.size()) +
                           "}\r\n" + kHead + ")\r\nA0006 OK\r\n"),
        ScriptedPeer::ReadLine(),
        ScriptedPeer::Send("* 1 FETCH (UID 9 BODY[] {5000000}\r\n" + std::string(1000, 'x'))},
       "-- Message 9 of 5000000 bytes is far larger than the server announced (100), aborting"},
  };
  for (const auto& c : cases) {
    testing::TempDir dir;
    testing::ProgramHomeAt home{dir.path()};
    testing::RecordingFrontEnd front_end;
    core::Logger logger{front_end, dir.path()};
    std::vector<ScriptedPeer::Step> script = UpToTheListing(c.select_extra);
    script.insert(script.end(), c.after.begin(), c.after.end());
    ScriptedPeer peer(script);
    config::Configuration configuration;
    configuration.IMAPSERVER = "127.0.0.1";
    configuration.IMAPPORT = peer.port();
    configuration.IMAPUSERNAME = "fido";
    configuration.IMAPPASSWORD = "secret";
    configuration.NETTIMEOUT = 10;
    configuration.INBOUND = dir.MakeDir("IN") + "/";
    configuration.SAVEEMAIL = dir.MakeDir("SAVE") + "/";
    configuration.Filters.AcceptAll = true;
    net::NetSession session(Side::Receiving, ImapEndpoint(configuration), logger);
    net::RunSession(session, [&](net::NetSession& s) { RunImapDialogue(s, configuration); });
    EXPECT_TRUE(session.IsAborted()) << c.name;
    EXPECT_TRUE(front_end.HasLineStartingWith(Side::Receiving, c.line)) << c.name;
    peer.Join();
    EXPECT_EQ(peer.Received().find("STORE"), std::string::npos) << c.name;
    EXPECT_FALSE(dir.Exists("SAVE/00000001.TXT")) << c.name;
  }
}

}  // namespace
}  // namespace kestrel::receive
