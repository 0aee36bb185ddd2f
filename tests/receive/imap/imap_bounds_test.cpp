// SPDX-License-Identifier: GPL-2.0-or-later
// A misbehaving IMAP server: whatever it sends without end, the job ends
// with a line that says what; whatever it sends out of turn, only the answer
// to what was asked is taken; nothing else reaches the inbound or leaves the
// server.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "config/filters.h"
#include "core/log.h"
#include "net/net_session.h"
#include "receive/imap/imap_dialogue.h"
#include "receive/mime_samples.h"
#include "support/program_home_at.h"
#include "support/recording_front_end.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

namespace kestrel::receive {
namespace {

using core::Side;
using testing::ScriptedPeer;
using Steps = std::vector<ScriptedPeer::Step>;

const std::string kCapability = "* CAPABILITY IMAP4rev1 UIDPLUS IDLE\r\n";

// The conversation up to the listing of the folder (SELECT answered with
// `select_extra` before its own answer, and `exists` messages).
Steps UpToTheListing(const std::string& select_extra, int exists = 1,
                     const std::string& capability = kCapability) {
  return {ScriptedPeer::Send("* OK ready\r\n"),
          ScriptedPeer::ReadLine(),
          ScriptedPeer::Send(capability + "A0001 OK\r\n"),
          ScriptedPeer::ReadLine(),
          ScriptedPeer::Send("A0002 OK logged in\r\n"),
          ScriptedPeer::ReadLine(),
          ScriptedPeer::Send(capability + "A0003 OK\r\n"),
          ScriptedPeer::ReadLine(),
          ScriptedPeer::Send(select_extra + "* " + std::to_string(exists) +
                             " EXISTS\r\n* OK [UIDVALIDITY 7]\r\nA0004 OK\r\n"),
          ScriptedPeer::ReadLine()};
}

const std::string kHead = "From: a@example.org\r\n\r\n";
const std::string kListing = "* 1 FETCH (UID 9 RFC822.SIZE 100 FLAGS ())\r\nA0005 OK\r\n";

std::string Lines(const std::string& line, int count) {
  std::string lines;
  for (int i = 0; i < count; ++i) lines += line;
  return lines;
}

// A mail whose body is the file, laid out by hand as other clients send it.
std::string Mail(const std::string& from, const std::string& name, const std::string& content) {
  return "From: " + from + "\r\nSubject: files\r\nMIME-Version: 1.0\r\n" +
         "Content-Type: application/octet-stream; name=\"" + name + "\"\r\n" +
         "Content-Disposition: attachment; filename=\"" + name + "\"\r\n" +
         "Content-Transfer-Encoding: base64\r\n\r\n" + testing::EncodeBase64(content) + "\r\n";
}

std::string Literal(const std::string& bytes) {
  return "{" + std::to_string(bytes.size()) + "}\r\n" + bytes;
}

// "A0007 OK" and on: whatever the client asks after the case's own steps.
Steps AnswersFrom(int tag) {
  Steps steps;
  for (int i = tag; i < tag + 6; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "A%04d", i);
    steps.push_back(ScriptedPeer::ReadLine());
    steps.push_back(ScriptedPeer::Send(std::string(name) + " OK\r\n"));
  }
  return steps;
}

struct JobRun {
  bool aborted = false;
  bool incomplete = false;
  std::string received;  // what the server was sent
  std::vector<std::string> inbound;
  std::vector<std::string> lines;
  std::uint64_t log_bytes = 0;
};

// One get job over the scripted peer, filtering on FROM sysop@example.org
// when `filtered` (else taking everything).
JobRun RunScript(const Steps& script, bool filtered = false, int idle_seconds = 0,
                 testing::TempDir* home = nullptr, const std::string& done_folder = "") {
  testing::TempDir own;
  testing::TempDir& dir = home ? *home : own;
  testing::ProgramHomeAt at{dir.path()};
  testing::RecordingFrontEnd front_end;
  core::Logger logger{front_end, dir.path()};
  logger.SetSizeLimit(500 * 1000);
  ScriptedPeer peer(script);
  config::Configuration configuration;
  configuration.IMAPSERVER = "127.0.0.1";
  configuration.IMAPPORT = peer.port();
  configuration.IMAPUSERNAME = "fido";
  configuration.IMAPPASSWORD = "secret";
  configuration.NETTIMEOUT = 10;
  configuration.IMAPDONEFOLDER = done_folder;
  configuration.INBOUND = dir.MakeDir("IN") + "/";
  configuration.SAVEEMAIL = dir.MakeDir("SAVE") + "/";
  if (filtered) {
    config::LoadFilterFile(dir.Write("KESTREL.FLT", "FROM sysop@example.org\n"),
                           configuration.Filters);
  } else {
    configuration.Filters.AcceptAll = true;
  }
  logger.OpenLog(Side::Receiving);
  net::NetSession session(Side::Receiving, ImapEndpoint(configuration), logger);
  ImapWaiting waiting;
  waiting.idle_seconds = idle_seconds;
  const net::SessionOutcome outcome = net::RunSession(
      session, [&](net::NetSession& s) { RunImapDialogue(s, configuration, waiting); });
  logger.CloseLog(Side::Receiving);
  peer.Join();
  JobRun run{outcome.aborted(),
             outcome.incomplete(),
             peer.Received(),
             {},
             front_end.Lines(Side::Receiving),
             std::filesystem::file_size(logger.LogPath(Side::Receiving))};
  for (const auto& entry : std::filesystem::directory_iterator(dir.File("IN"))) {
    run.inbound.push_back(entry.path().filename().string());
  }
  return run;
}

bool HasLineStartingWith(const JobRun& run, const std::string& prefix) {
  for (const std::string& line : run.lines) {
    if (line.starts_with(prefix)) return true;
  }
  return false;
}

TEST(ImapBoundsTest, EndlessOrOversizedAnswersEndTheJobWithALine) {
  const struct {
    const char* name;
    std::string select_extra;  // before SELECT's own answer
    Steps after;               // after the listing command
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
      {"endless literal of another message",
       "",
       {ScriptedPeer::Send(kListing), ScriptedPeer::ReadLine(),
        ScriptedPeer::Send("* 2 FETCH (UID 10 BODY[HEADER] {99999999999}\r\n")},
       "-- Reply longer than"},
      {"body far beyond the announced size",
       "",
       {ScriptedPeer::Send(kListing), ScriptedPeer::ReadLine(),
        ScriptedPeer::Send("* 1 FETCH (UID 9 BODY[HEADER] " + Literal(kHead) + ")\r\nA0006 OK\r\n"),
        ScriptedPeer::ReadLine(),
        ScriptedPeer::Send("* 1 FETCH (UID 9 BODY[] {5000000}\r\n" + std::string(1000, 'x'))},
       "-- Message 9 of 5000000 bytes is far larger than the server announced (100), aborting"},
  };
  for (const auto& c : cases) {
    Steps script = UpToTheListing(c.select_extra);
    script.insert(script.end(), c.after.begin(), c.after.end());
    const JobRun run = RunScript(script);
    EXPECT_TRUE(run.aborted) << c.name;
    EXPECT_TRUE(HasLineStartingWith(run, c.line)) << c.name;
    EXPECT_EQ(run.received.find("STORE"), std::string::npos) << c.name;
    EXPECT_TRUE(run.inbound.empty()) << c.name;
  }
}

// Answers out of turn: the unsolicited FETCH responses a server may send at
// any time (RFC 3501), for other messages or without a UID, in place of or
// beside the answer asked for.
TEST(ImapBoundsTest, OnlyTheAnswerToWhatWasAskedIsTaken) {
  const std::string ours = Mail("sysop@example.org", "OURS.PKT", "ours");
  const std::string other = Mail("sysop@example.org", "OTHER.PKT", "other");
  const std::string our_head = "From: sysop@example.org\r\n\r\n";
  const std::string spam_head = "From: spam@example.org\r\n\r\n";
  const std::string kNotFetched =
      "-- Message 9 could not be fetched (A0007 OK), left on the server";
  const std::string head_answer =
      "* 1 FETCH (UID 9 BODY[HEADER] " + Literal(our_head) + ")\r\nA0006 OK\r\n";
  const struct {
    const char* name;
    std::string head;  // the answer to the head's FETCH
    std::string body;  // the answer to the body's FETCH ("": none asked)
    bool filtered;
    std::vector<std::string> inbound;
    bool removed;     // a STORE went out for UID 9
    bool incomplete;  // exit status 1
    std::string line;
  } cases[] = {
      {"another message's body in place of the one asked",
       head_answer,
       "* 2 FETCH (UID 10 BODY[] " + Literal(other) + ")\r\nA0007 OK\r\n",
       false,
       {},
       false,
       true,
       kNotFetched},
      {"another message's body before the one asked",
       head_answer,
       "* 2 FETCH (UID 10 BODY[] " + Literal(other) + ")\r\n* 1 FETCH (UID 9 BODY[] " +
           Literal(ours) + ")\r\nA0007 OK\r\n",
       false,
       {"OURS.PKT"},
       true,
       false,
       ""},
      {"a body without a UID",
       head_answer,
       "* 1 FETCH (BODY[] " + Literal(ours) + ")\r\nA0007 OK\r\n",
       false,
       {},
       false,
       true,
       kNotFetched},
      {"the UID after the body's literal",
       head_answer,
       "* 1 FETCH (BODY[] " + Literal(ours) + " UID 9)\r\nA0007 OK\r\n",
       false,
       {"OURS.PKT"},
       true,
       false,
       ""},
      {"another UID after the body's literal",
       head_answer,
       "* 1 FETCH (BODY[] " + Literal(other) + " UID 10)\r\nA0007 OK\r\n",
       false,
       {},
       false,
       true,
       kNotFetched},
      {"two UIDs in one answer",
       head_answer,
       "* 1 FETCH (UID 9 BODY[] " + Literal(other) + " UID 10)\r\nA0007 OK\r\n",
       false,
       {},
       false,
       true,
       kNotFetched},
      {"flags of the message before its body",
       head_answer,
       "* 1 FETCH (UID 9 FLAGS (\\Seen))\r\n* 1 FETCH (UID 9 BODY[] " + Literal(ours) +
           ")\r\nA0007 OK\r\n",
       false,
       {"OURS.PKT"},
       true,
       false,
       ""},
      {"a tagged OK without the data",
       head_answer,
       "A0007 OK done\r\n",
       false,
       {},
       false,
       true,
       "-- Message 9 could not be fetched (A0007 OK done), left on the server"},
      {"a piece of the body (BODY[]<0>)",
       head_answer,
       "* 1 FETCH (UID 9 BODY[]<0> " + Literal(ours.substr(0, 40)) + ")\r\nA0007 OK\r\n",
       false,
       {},
       false,
       true,
       kNotFetched},
      {"another message's head passing the filter",
       "* 2 FETCH (UID 10 BODY[HEADER] " + Literal(our_head) +
           ")\r\n* 1 FETCH (UID 9 BODY[HEADER] " + Literal(spam_head) + ")\r\nA0006 OK\r\n",
       "",
       true,
       {},
       false,
       false,
       ""},
      {"only another message's head",
       "* 2 FETCH (UID 10 BODY[HEADER] " + Literal(our_head) + ")\r\nA0006 OK\r\n",
       "",
       true,
       {},
       false,
       true,
       "-- Message 9 is no longer in the folder"},
  };
  for (const auto& c : cases) {
    Steps script = UpToTheListing("");
    script.push_back(ScriptedPeer::Send(kListing));
    script.push_back(ScriptedPeer::ReadLine());
    script.push_back(ScriptedPeer::Send(c.head));
    int next = 7;
    if (!c.body.empty()) {
      script.push_back(ScriptedPeer::ReadLine());
      script.push_back(ScriptedPeer::Send(c.body));
      next = 8;
    }
    const Steps answers = AnswersFrom(next);
    script.insert(script.end(), answers.begin(), answers.end());
    const JobRun run = RunScript(script, c.filtered);
    EXPECT_FALSE(run.aborted) << c.name;
    EXPECT_EQ(run.inbound, c.inbound) << c.name;
    EXPECT_EQ(run.received.find("STORE 9") != std::string::npos, c.removed) << c.name;
    EXPECT_EQ(run.received.find("STORE 10"), std::string::npos) << c.name;
    EXPECT_EQ(run.received.find("BODY.PEEK[]") != std::string::npos, !c.body.empty()) << c.name;
    EXPECT_EQ(run.incomplete, c.incomplete) << c.name;
    if (!c.line.empty()) {
      EXPECT_TRUE(HasLineStartingWith(run, c.line)) << c.name;
    }
  }
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// What a server sends while the job waits in IDLE: only a folder that grew
// starts a walk, a flood ends the session with one line, and the log is not
// given each line.
TEST(ImapBoundsTest, IdleWalksOnlyForNewsAndEndsAFlood) {
  const struct {
    const char* name;
    std::string lines;  // sent while idling
    std::size_t walks;  // listings of the folder
    const char* line;   // when the session ends with one
  } cases[] = {
      {"the same count, again and again", Lines("* 1 EXISTS\r\n", 50), 1, nullptr},
      {"a higher count", "* 2 EXISTS\r\n", 2, nullptr},
      {"an expunge, then the count as before", "* 1 EXPUNGE\r\n* 1 EXISTS\r\n", 2, nullptr},
      {"an expunge, then the lower count", "* 1 EXPUNGE\r\n* 0 EXISTS\r\n", 1, nullptr},
      {"more recent messages", "* 1 RECENT\r\n", 2, nullptr},
      {"a higher UIDNEXT", "* OK [UIDNEXT 12]\r\n", 2, nullptr},
      {"flags and a literal of another client's change",
       Lines("* 1 FETCH (FLAGS (\\Seen))\r\n", 20) + "* 1 FETCH (UID 3 BODY[] {7}\r\n* 5 EXI)\r\n",
       1, nullptr},
      {"a flood", Lines("* OK still here\r\n", 20000), 1,
       "-- More than 10000 server lines within 60 seconds while waiting for mail, aborting"},
  };
  for (const auto& c : cases) {
    Steps script = UpToTheListing("* OK [UIDNEXT 11]\r\n");
    for (const auto& step : {ScriptedPeer::Send("A0005 OK\r\n"), ScriptedPeer::ReadLine(),
                             ScriptedPeer::Send("+ idling\r\n" + c.lines), ScriptedPeer::ReadLine(),
                             ScriptedPeer::Send("A0006 OK\r\n")}) {
      script.push_back(step);
    }
    const Steps answers = AnswersFrom(7);
    script.insert(script.end(), answers.begin(), answers.end());
    const JobRun run = RunScript(script, false, 2);
    EXPECT_EQ(Count(run.received, "UID FETCH 1:*"), c.walks) << c.name;
    EXPECT_EQ(run.aborted, c.line != nullptr) << c.name;
    if (c.line) {
      EXPECT_TRUE(HasLineStartingWith(run, c.line)) << c.name;
    }
    EXPECT_LT(run.log_bytes, 4000u) << c.name;
  }
}

// A message marked deleted whose UID the journal knows: the job's own mark
// (its expunge lost) is expunged once the content proves it the message
// taken; anything else under that UID stays on the server.
TEST(ImapBoundsTest, MarkedMessageOfAKnownUidIsExpungedOnlyWhenItIsTheSame) {
  const std::string ours = Mail("sysop@example.org", "OURS.PKT", "ours");
  const std::string other = Mail("sysop@example.org", "OTHER.PKT", "other");
  const struct {
    const char* name;
    std::string content;  // under the UID the second time
    bool expunged;
  } cases[] = {
      {"the message taken", ours, true},
      {"other content under its UID", other, false},
  };
  for (const auto& c : cases) {
    Steps script = UpToTheListing("");
    for (const auto& step : {
             ScriptedPeer::Send(kListing),
             ScriptedPeer::ReadLine(),
             ScriptedPeer::Send("* 1 FETCH (UID 9 BODY[HEADER] " + Literal(kHead) +
                                ")\r\nA0006 OK\r\n"),
             ScriptedPeer::ReadLine(),
             ScriptedPeer::Send("* 1 FETCH (UID 9 BODY[] " + Literal(ours) + ")\r\nA0007 OK\r\n"),
             ScriptedPeer::ReadLine(),
             ScriptedPeer::Send("A0008 NO not now\r\n"),  // the STORE: the mark is lost
             ScriptedPeer::ReadLine(),
             ScriptedPeer::Send("+ idling\r\n* 2 EXISTS\r\n"),
             ScriptedPeer::ReadLine(),
             ScriptedPeer::Send("A0009 OK\r\n"),
             ScriptedPeer::ReadLine(),
             ScriptedPeer::Send("* 1 FETCH (UID 9 RFC822.SIZE 100 FLAGS (\\Seen \\Deleted))\r\n"
                                "A0010 OK\r\n"),
             ScriptedPeer::ReadLine(),
             ScriptedPeer::Send("* 1 FETCH (UID 9 BODY[] " + Literal(c.content) +
                                ")\r\nA0011 OK\r\n"),
         }) {
      script.push_back(step);
    }
    const Steps answers = AnswersFrom(12);
    script.insert(script.end(), answers.begin(), answers.end());
    const JobRun run = RunScript(script, false, 30);
    EXPECT_EQ(run.inbound, std::vector<std::string>{"OURS.PKT"}) << c.name;
    EXPECT_EQ(run.received.find("UID EXPUNGE 9") != std::string::npos, c.expunged) << c.name;
    EXPECT_EQ(Count(run.received, "BODY.PEEK[]"), 2u) << c.name;
    if (!c.expunged) {
      EXPECT_TRUE(HasLineStartingWith(run, "-- Message 9 is marked deleted, skipped")) << c.name;
    }
  }
}

// Several messages asked in one FETCH: each answer is taken only for a UID
// of the set, a UID that got none stays, and the set's removal is one
// command for the messages that came whole.
TEST(ImapBoundsTest, WindowedAnswersAreTakenOnlyForTheirUids) {
  const std::string listing =
      "* 1 FETCH (UID 9 RFC822.SIZE 400 FLAGS ())\r\n* 2 FETCH (UID 10 RFC822.SIZE 400 FLAGS "
      "())\r\n* 3 FETCH (UID 11 RFC822.SIZE 400 FLAGS ())\r\nA0005 OK\r\n";
  auto head = [](int sequence, int uid) {
    return "* " + std::to_string(sequence) + " FETCH (UID " + std::to_string(uid) +
           " BODY[HEADER] " + Literal(kHead) + ")\r\n";
  };
  auto body = [](int sequence, int uid) {
    const std::string name = "F" + std::to_string(uid) + ".PKT";
    return "* " + std::to_string(sequence) + " FETCH (UID " + std::to_string(uid) + " BODY[] " +
           Literal(Mail("a@example.org", name, name)) + ")\r\n";
  };
  const std::string all_heads = head(1, 9) + head(2, 10) + head(3, 11);
  const struct {
    const char* name;
    std::string heads;
    std::string bodies_asked;  // the body FETCH's set
    std::string bodies;
    std::vector<std::string> inbound;
    std::string removed;  // the STORE's set
    std::string line;     // status 1 when given
  } cases[] = {
      {"a head for a UID outside the set",
       all_heads + head(4, 12),
       "9:11",
       body(1, 9) + body(2, 10) + body(3, 11),
       {"F10.PKT", "F11.PKT", "F9.PKT"},
       "9:11",
       ""},
      {"a head of the set never answered",
       head(1, 9) + head(3, 11),
       "9,11",
       body(1, 9) + body(3, 11),
       {"F11.PKT", "F9.PKT"},
       "9,11",
       "-- Message 10 is no longer in the folder"},
      {"a body for a UID outside the set",
       all_heads,
       "9:11",
       body(4, 12) + body(1, 9) + body(2, 10) + body(3, 11),
       {"F10.PKT", "F11.PKT", "F9.PKT"},
       "9:11",
       ""},
      {"a body of the set never answered",
       all_heads,
       "9:11",
       body(1, 9) + body(3, 11),
       {"F11.PKT", "F9.PKT"},
       "9,11",
       "-- Message 10 could not be fetched (A0007 OK), left on the server"},
      {"a head far larger than its message",
       head(1, 9) + "* 2 FETCH (UID 10 BODY[HEADER] " +
           Literal("X-Pad: " + std::string(70000, 'x') + "\r\n\r\n") + ")\r\n" + head(3, 11),
       "9,11",
       body(1, 9) + body(3, 11),
       {"F11.PKT", "F9.PKT"},
       "9,11",
       "-- Head of message 10 larger than the server announced, skipped"},
      {"a body answered twice",
       all_heads,
       "9:11",
       body(1, 9) + body(1, 9) + body(2, 10) + body(3, 11),
       {"F10.PKT", "F11.PKT", "F9.PKT"},
       "9:11",
       ""},
  };
  for (const auto& c : cases) {
    Steps script = UpToTheListing("", 3);
    for (const auto& step : {ScriptedPeer::Send(listing), ScriptedPeer::ReadLine(),
                             ScriptedPeer::Send(c.heads + "A0006 OK\r\n"), ScriptedPeer::ReadLine(),
                             ScriptedPeer::Send(c.bodies + "A0007 OK\r\n")}) {
      script.push_back(step);
    }
    const Steps answers = AnswersFrom(8);
    script.insert(script.end(), answers.begin(), answers.end());
    const JobRun run = RunScript(script);
    std::vector<std::string> inbound = run.inbound;
    std::sort(inbound.begin(), inbound.end());
    EXPECT_FALSE(run.aborted) << c.name;
    EXPECT_EQ(inbound, c.inbound) << c.name;
    EXPECT_NE(run.received.find("A0006 UID FETCH 9:11 BODY.PEEK[HEADER]"), std::string::npos)
        << c.name;
    EXPECT_NE(run.received.find("A0007 UID FETCH " + c.bodies_asked + " BODY.PEEK[]"),
              std::string::npos)
        << c.name;
    EXPECT_NE(run.received.find("A0008 UID STORE " + c.removed + " +FLAGS.SILENT"),
              std::string::npos)
        << c.name;
    EXPECT_NE(run.received.find("A0009 UID EXPUNGE " + c.removed + "\r\n"), std::string::npos)
        << c.name;
    EXPECT_EQ(run.incomplete, !c.line.empty()) << c.name;
    if (!c.line.empty()) {
      EXPECT_TRUE(HasLineStartingWith(run, c.line)) << c.name;
    }
  }
}

// A server that names the UID only after each literal: in a set nothing can
// be matched, so the messages are asked again one at a time, where the UID
// after the literal confirms the one asked.
TEST(ImapBoundsTest, UidAfterTheLiteralInASetIsAskedAgainOneByOne) {
  const std::string listing =
      "* 1 FETCH (UID 9 RFC822.SIZE 400 FLAGS ())\r\n* 2 FETCH (UID 10 RFC822.SIZE 400 FLAGS "
      "())\r\nA0005 OK\r\n";
  auto head = [](int uid) {
    return "* " + std::to_string(uid - 8) + " FETCH (BODY[HEADER] " + Literal(kHead) + " UID " +
           std::to_string(uid) + ")\r\n";
  };
  auto body = [](int uid) {
    const std::string name = "F" + std::to_string(uid) + ".PKT";
    return "* " + std::to_string(uid - 8) + " FETCH (BODY[] " +
           Literal(Mail("a@example.org", name, name)) + " UID " + std::to_string(uid) + ")\r\n";
  };
  Steps script = UpToTheListing("", 2);
  for (const auto& step : {
           ScriptedPeer::Send(listing),
           ScriptedPeer::ReadLine(),
           ScriptedPeer::Send(head(9) + head(10) + "A0006 OK\r\n"),
           ScriptedPeer::ReadLine(),
           ScriptedPeer::Send(head(9) + "A0007 OK\r\n"),
           ScriptedPeer::ReadLine(),
           ScriptedPeer::Send(head(10) + "A0008 OK\r\n"),
           ScriptedPeer::ReadLine(),
           ScriptedPeer::Send(body(9) + body(10) + "A0009 OK\r\n"),
           ScriptedPeer::ReadLine(),
           ScriptedPeer::Send(body(9) + "A0010 OK\r\n"),
           ScriptedPeer::ReadLine(),
           ScriptedPeer::Send(body(10) + "A0011 OK\r\n"),
       }) {
    script.push_back(step);
  }
  const Steps answers = AnswersFrom(12);
  script.insert(script.end(), answers.begin(), answers.end());
  const JobRun run = RunScript(script);
  std::vector<std::string> inbound = run.inbound;
  std::sort(inbound.begin(), inbound.end());
  EXPECT_EQ(inbound, (std::vector<std::string>{"F10.PKT", "F9.PKT"}));
  EXPECT_FALSE(run.incomplete);
  for (const char* command :
       {"A0006 UID FETCH 9:10 BODY.PEEK[HEADER]", "A0007 UID FETCH 9 BODY.PEEK[HEADER]",
        "A0008 UID FETCH 10 BODY.PEEK[HEADER]", "A0009 UID FETCH 9:10 BODY.PEEK[]",
        "A0010 UID FETCH 9 BODY.PEEK[]", "A0011 UID FETCH 10 BODY.PEEK[]",
        "A0012 UID STORE 9:10 +FLAGS.SILENT (\\Deleted)", "A0013 UID EXPUNGE 9:10"}) {
    EXPECT_NE(run.received.find(std::string(command) + "\r\n"), std::string::npos) << command;
  }
}

// The connection cut inside the third body of a set: the two before it are
// on the disk but not removed, and the next run removes them after
// comparing, without a second copy, and takes the third.
TEST(ImapBoundsTest, CutInsideTheThirdBodyOfASetLosesNothing) {
  const std::string listing =
      "* 1 FETCH (UID 9 RFC822.SIZE 400 FLAGS ())\r\n* 2 FETCH (UID 10 RFC822.SIZE 400 FLAGS "
      "())\r\n* 3 FETCH (UID 11 RFC822.SIZE 400 FLAGS ())\r\nA0005 OK\r\n";
  std::string heads;
  std::string bodies;
  for (int uid = 9; uid <= 11; ++uid) {
    const std::string n = std::to_string(uid);
    const std::string head = "From: a@example.org\r\nMessage-ID: <" + n + "@example.org>\r\n";
    const std::string name = "F" + n + ".PKT";
    heads += "* " + std::to_string(uid - 8) + " FETCH (UID " + n + " BODY[HEADER] " +
             Literal(head + "\r\n") + ")\r\n";
    bodies += "* " + std::to_string(uid - 8) + " FETCH (UID " + n + " BODY[] " +
              Literal(head + Mail("a@example.org", name, name).substr(21)) + ")\r\n";
  }
  testing::TempDir home;
  Steps first = UpToTheListing("", 3);
  for (const auto& step : {ScriptedPeer::Send(listing), ScriptedPeer::ReadLine(),
                           ScriptedPeer::Send(heads + "A0006 OK\r\n"), ScriptedPeer::ReadLine(),
                           ScriptedPeer::Send(bodies.substr(0, bodies.rfind("BODY[]") + 120)),
                           ScriptedPeer::Close()}) {
    first.push_back(step);
  }
  const JobRun cut = RunScript(first, false, 0, &home);
  EXPECT_TRUE(cut.aborted);
  std::vector<std::string> inbound = cut.inbound;
  std::sort(inbound.begin(), inbound.end());
  EXPECT_EQ(inbound, (std::vector<std::string>{"F10.PKT", "F9.PKT"}));
  EXPECT_EQ(cut.received.find("STORE"), std::string::npos);
  // The next run: 9 and 10 are compared (one FETCH each) and removed, 11 taken.
  Steps second = UpToTheListing("", 3);
  const std::string body_9 = bodies.substr(0, bodies.find("* 2 FETCH"));
  const std::string body_10 =
      bodies.substr(body_9.size(), bodies.find("* 3 FETCH") - body_9.size());
  const std::string body_11 = bodies.substr(body_9.size() + body_10.size());
  for (const auto& step : {ScriptedPeer::Send(listing), ScriptedPeer::ReadLine(),
                           ScriptedPeer::Send(heads + "A0006 OK\r\n"), ScriptedPeer::ReadLine(),
                           ScriptedPeer::Send(body_9 + "A0007 OK\r\n"), ScriptedPeer::ReadLine(),
                           ScriptedPeer::Send("A0008 OK\r\n"), ScriptedPeer::ReadLine(),
                           ScriptedPeer::Send("A0009 OK\r\n"), ScriptedPeer::ReadLine(),
                           ScriptedPeer::Send(body_10 + "A0010 OK\r\n"), ScriptedPeer::ReadLine(),
                           ScriptedPeer::Send("A0011 OK\r\n"), ScriptedPeer::ReadLine(),
                           ScriptedPeer::Send("A0012 OK\r\n"), ScriptedPeer::ReadLine(),
                           ScriptedPeer::Send(body_11 + "A0013 OK\r\n")}) {
    second.push_back(step);
  }
  const Steps answers = AnswersFrom(14);
  second.insert(second.end(), answers.begin(), answers.end());
  const JobRun again = RunScript(second, false, 0, &home);
  EXPECT_FALSE(again.aborted);
  EXPECT_FALSE(again.incomplete);
  EXPECT_TRUE(HasLineStartingWith(again, "-- Message 9 already received, deleting"));
  EXPECT_TRUE(HasLineStartingWith(again, "-- Message 10 already received, deleting"));
  EXPECT_NE(again.received.find("A0009 UID EXPUNGE 9\r\n"), std::string::npos);
  EXPECT_NE(again.received.find("A0012 UID EXPUNGE 10\r\n"), std::string::npos);
  EXPECT_NE(again.received.find("A0015 UID EXPUNGE 11\r\n"), std::string::npos);
  inbound = again.inbound;
  std::sort(inbound.begin(), inbound.end());
  EXPECT_EQ(inbound, (std::vector<std::string>{"F10.PKT", "F11.PKT", "F9.PKT"}));
}

// A server that lists one message twice under two UIDs: the second is
// compared once the first is on the disk, and only removed.
TEST(ImapBoundsTest, MessageListedTwiceInOneWindowIsTakenOnce) {
  const std::string listing =
      "* 1 FETCH (UID 9 RFC822.SIZE 400 FLAGS ())\r\n* 2 FETCH (UID 10 RFC822.SIZE 400 FLAGS "
      "())\r\nA0005 OK\r\n";
  const std::string head = "From: a@example.org\r\nMessage-ID: <twice@example.org>\r\n";
  const std::string mail = head + Mail("a@example.org", "F9.PKT", "F9.PKT").substr(21);
  std::string heads;
  for (int uid = 9; uid <= 10; ++uid) {
    heads += "* " + std::to_string(uid - 8) + " FETCH (UID " + std::to_string(uid) +
             " BODY[HEADER] " + Literal(head + "\r\n") + ")\r\n";
  }
  const auto body = [&](int uid) {
    return "* " + std::to_string(uid - 8) + " FETCH (UID " + std::to_string(uid) + " BODY[] " +
           Literal(mail) + ")\r\n";
  };
  Steps script = UpToTheListing("", 2);
  for (const auto& step : {ScriptedPeer::Send(listing), ScriptedPeer::ReadLine(),
                           ScriptedPeer::Send(heads + "A0006 OK\r\n"), ScriptedPeer::ReadLine(),
                           ScriptedPeer::Send(body(9) + "A0007 OK\r\n"), ScriptedPeer::ReadLine(),
                           ScriptedPeer::Send("A0008 OK\r\n"), ScriptedPeer::ReadLine(),
                           ScriptedPeer::Send("A0009 OK\r\n"), ScriptedPeer::ReadLine(),
                           ScriptedPeer::Send(body(10) + "A0010 OK\r\n")}) {
    script.push_back(step);
  }
  const Steps answers = AnswersFrom(11);
  script.insert(script.end(), answers.begin(), answers.end());
  const JobRun run = RunScript(script);
  EXPECT_FALSE(run.aborted);
  EXPECT_FALSE(run.incomplete);
  EXPECT_TRUE(HasLineStartingWith(run, "-- Message 10 already received, deleting"));
  EXPECT_NE(run.received.find("A0009 UID EXPUNGE 9\r\n"), std::string::npos);
  EXPECT_NE(run.received.find("UID EXPUNGE 10\r\n"), std::string::npos);
  EXPECT_EQ(run.inbound, (std::vector<std::string>{"F9.PKT"}));
}

// The done folder: created when the server answers [TRYCREATE], the move
// tried once more; named with the server's separator; the message stays
// when the folder cannot be had.
TEST(ImapBoundsTest, DoneFolderIsCreatedOnceWhenMissing) {
  const std::string with_move = "* CAPABILITY IMAP4rev1 UIDPLUS IDLE MOVE\r\n";
  const std::string body = "* 1 FETCH (UID 9 BODY[] " +
                           Literal(Mail("a@example.org", "DONE.PKT", "done")) + ")\r\nA0007 OK\r\n";
  const std::string tried = "A0009 NO [TRYCREATE] Mailbox doesn't exist: Fido.Done\r\n";
  const struct {
    const char* name;
    std::string capability;
    std::string separator;              // the LIST answer's
    std::vector<std::string> answers;   // from A0009 (the move or copy) on
    std::vector<std::string> commands;  // sent from A0009 on, in order
    const char* line;
    bool incomplete;
  } cases[] = {
      {"MOVE into a missing folder",
       with_move,
       "\".\"",
       {tried, "A0010 OK created\r\n", "A0011 OK moved\r\n"},
       {"A0009 UID MOVE 9 \"Fido.Done\"", "A0010 CREATE \"Fido.Done\"",
        "A0011 UID MOVE 9 \"Fido.Done\""},
       "-- Message 9 moved to Fido.Done",
       false},
      {"COPY into a missing folder, then the removal",
       kCapability,
       "\".\"",
       {tried, "A0010 OK created\r\n", "A0011 OK\r\n", "A0012 OK\r\n", "A0013 OK\r\n"},
       {"A0009 UID COPY 9 \"Fido.Done\"", "A0010 CREATE \"Fido.Done\"",
        "A0011 UID COPY 9 \"Fido.Done\"", "A0012 UID STORE 9 +FLAGS.SILENT (\\Deleted)",
        "A0013 UID EXPUNGE 9"},
       "-- Message 9 moved to Fido.Done",
       false},
      {"a server with \"/\" between levels",
       with_move,
       "\"/\"",
       {"A0009 OK moved\r\n"},
       {"A0009 UID MOVE 9 \"Fido/Done\""},
       "-- Message 9 moved to Fido/Done",
       false},
      {"a flat server",
       with_move,
       "NIL",
       {"A0009 OK moved\r\n"},
       {"A0009 UID MOVE 9 \"Fido/Done\""},
       "-- Message 9 moved to Fido/Done",
       false},
      {"CREATE refused",
       with_move,
       "\".\"",
       {tried, "A0010 NO [NOPERM] not here\r\n"},
       {"A0009 UID MOVE 9 \"Fido.Done\"", "A0010 CREATE \"Fido.Done\""},
       "-- Folder Fido.Done could not be created (A0010 NO [NOPERM] not here)",
       true},
      {"MOVE refused without [TRYCREATE]",
       with_move,
       "\".\"",
       {"A0009 NO [OVERQUOTA] full\r\n"},
       {"A0009 UID MOVE 9 \"Fido.Done\""},
       "-- Message 9 could not be moved to Fido.Done (A0009 NO [OVERQUOTA] full)",
       true},
  };
  for (const auto& c : cases) {
    Steps script = UpToTheListing("", 1, c.capability);
    for (const auto& step :
         {ScriptedPeer::Send(kListing), ScriptedPeer::ReadLine(),
          ScriptedPeer::Send("* 1 FETCH (UID 9 BODY[HEADER] " + Literal(kHead) +
                             ")\r\nA0006 OK\r\n"),
          ScriptedPeer::ReadLine(), ScriptedPeer::Send(body), ScriptedPeer::ReadLine(),
          ScriptedPeer::Send("* LIST (\\Noselect) " + c.separator + " \"\"\r\nA0008 OK\r\n")}) {
      script.push_back(step);
    }
    for (const std::string& answer : c.answers) {
      script.push_back(ScriptedPeer::ReadLine());
      script.push_back(ScriptedPeer::Send(answer));
    }
    const Steps answers = AnswersFrom(10 + static_cast<int>(c.answers.size()) - 1);
    script.insert(script.end(), answers.begin(), answers.end());
    const JobRun run = RunScript(script, false, 0, nullptr, "Fido/Done");
    EXPECT_FALSE(run.aborted) << c.name;
    EXPECT_EQ(run.inbound, std::vector<std::string>{"DONE.PKT"}) << c.name;
    EXPECT_NE(run.received.find("A0008 LIST \"\" \"\"\r\n"), std::string::npos) << c.name;
    std::size_t at = 0;
    for (const std::string& command : c.commands) {
      at = run.received.find(command + "\r\n", at);
      EXPECT_NE(at, std::string::npos) << c.name << ": " << command;
    }
    EXPECT_TRUE(HasLineStartingWith(run, c.line)) << c.name;
    EXPECT_EQ(run.incomplete, c.incomplete) << c.name;
    if (c.incomplete) {
      EXPECT_EQ(run.received.find("STORE"), std::string::npos) << c.name;
    }
  }
}

}  // namespace
}  // namespace kestrel::receive
