// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/record_sent.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "mime/ascii_text.h"
#include "platform/clock.h"
#include "platform/error_text.h"
#include "support/fido_files.h"
#include "support/recording_front_end.h"
#include "support/system_user.h"
#include "support/temp_dir.h"

namespace kestrel::outbound {
namespace {

using Lines = std::vector<std::string>;

struct RecordFixture : ::testing::Test {
  RecordFixture() {
    platform::SetClockForTesting([] {
      platform::LocalTime time;
      time.year = 2026;
      time.month = 12;
      time.day = 6;
      time.hour = 8;
      time.minute = 5;
      return time;
    });
  }
  ~RecordFixture() override { platform::SetClockForTesting({}); }

  // Adds a Taken entry; returns its number. Paths are real ones, as the scans store them.
  int Take(SendKind kind, const std::string& path, const std::string& list_path = "",
           AfterSendAction after = AfterSendAction::Nothing) {
    SendEntry entry;
    entry.Kind = kind;
    entry.Path = path;
    entry.ListPath = list_path;
    entry.AfterSend = after;
    EXPECT_TRUE(list.Add(entry));
    list.Entry(list.Count()).State = SendState::Taken;
    return list.Count();
  }
  RecordResult Record(int current) { return RecordSent(list, current, logger, configuration); }
  Lines Log() const { return front_end.Lines(core::Side::Sending); }
  std::string File(const std::string& relative) const { return dir.File(relative); }
  testing::DecodedStoredMessage ReadMessage(const std::string& relative) const {
    const auto decoded = testing::DecodeStoredMessage(dir.Read(relative));
    EXPECT_TRUE(decoded);
    return decoded.value_or(testing::DecodedStoredMessage{});
  }

  testing::TempDir dir;
  testing::RecordingFrontEnd front_end;
  core::Logger logger{front_end, dir.path()};
  config::Configuration configuration;
  SendList list;
};

TEST_F(RecordFixture, FlowFileLoosesTheBundleLineAndTheBundleIsDeleted) {
  dir.Write("files/0000fffe.mo0", "bundle");
  dir.Write("files/b.txt", "keep");
  const std::string flow = dir.Write(
      "out/00ec0064.flo",
      testing::TextLines({"^" + File("files/0000fffe.mo0"), "#" + File("files/b.txt")}, "\n"));
  const int current =
      Take(SendKind::ListedFile, File("files/0000fffe.mo0"), flow, AfterSendAction::Delete);
  EXPECT_FALSE(Record(current).io_error);
  EXPECT_EQ(dir.Read("out/00ec0064.flo"), testing::TextLines({"#" + File("files/b.txt")}, "\n"));
  EXPECT_FALSE(dir.Exists("files/0000fffe.mo0"));
  EXPECT_TRUE(dir.Exists("files/b.txt"));
  EXPECT_EQ(Log(), (Lines{"-- Removing file from flowfile " + flow,
                          "-- Deleting: " + File("files/0000fffe.mo0")}));
  EXPECT_EQ(list.Entry(current).State, SendState::Sent);
}

// The hook that syncs the sent record runs once, while the mailer's files are
// still as they were, so that the record is on the disk before they change;
// and not at all when nothing of theirs changes.
TEST_F(RecordFixture, BeforeChangeRunsOnceWhileTheMailersFilesAreUnchanged) {
  const Lines flow_lines = {"^" + File("out/a.zip"), "^" + File("out/b.zip")};
  dir.Write("out/a.zip", "a");
  dir.Write("out/b.zip", "b");
  dir.Write("out/00ec0064.out", "packet");
  const std::string flow = dir.Write("out/00ec0064.flo", testing::TextLines(flow_lines, "\n"));
  const std::string kept = dir.Write("out/00ec0065.flo", testing::TextLines({"~" + File("a")}));
  struct Case {
    int entry;
    std::string watched;  // relative to the directory
    std::string before;   // its content when the hook ran
    int runs;
  };
  const std::vector<Case> cases = {
      {Take(SendKind::ListedFile, File("out/a.zip"), flow, AfterSendAction::Delete),
       "out/00ec0064.flo", testing::TextLines(flow_lines, "\n"), 1},
      {Take(SendKind::OutboundPacket, File("out/00ec0064.out"), "", AfterSendAction::Delete),
       "out/00ec0064.out", "packet", 1},
      {Take(SendKind::ListedFile, File("a"), kept), "out/00ec0065.flo", "", 0},
  };
  for (const Case& c : cases) {
    int runs = 0;
    std::string seen;
    EXPECT_FALSE(RecordSent(list, c.entry, logger, configuration, [&] {
                   ++runs;
                   seen = dir.Read(c.watched);
                 }).io_error);
    EXPECT_EQ(runs, c.runs) << c.watched;
    EXPECT_EQ(seen, c.before) << c.watched;
  }
  EXPECT_FALSE(dir.Exists("out/a.zip"));
  EXPECT_FALSE(dir.Exists("out/00ec0064.out"));
}

TEST_F(RecordFixture, EmptiedListsAreDeletedAndVfidoListsTakeTheirPacket) {
  dir.Write("files/a.zip", "a");
  dir.Write("out/00EC0064.FLO", testing::TextLines({File("files/a.zip")}));
  dir.Write("vfido/00000001.LST", testing::TextLines({"^" + File("files/a.zip")}, "\n"));
  dir.Write("vfido/00000001.PKT", "packet");
  dir.Write("vfido/00000002.PKT", "other packet");
  const int current = Take(SendKind::ListedFile, File("files/a.zip"), File("out/00EC0064.FLO"));
  Take(SendKind::ListedFile, File("files/a.zip"), File("vfido/00000001.LST"),
       AfterSendAction::Delete);
  EXPECT_FALSE(Record(current).io_error);
  EXPECT_FALSE(dir.Exists("out/00EC0064.FLO"));
  EXPECT_FALSE(dir.Exists("vfido/00000001.LST"));
  EXPECT_FALSE(dir.Exists("vfido/00000001.PKT"));
  EXPECT_TRUE(dir.Exists("vfido/00000002.PKT"));
  EXPECT_FALSE(dir.Exists("files/a.zip"));
  EXPECT_EQ(list.Entry(2).State, SendState::Sent);
}

TEST_F(RecordFixture, KeptLinesAreCopiedByteForByte) {
  dir.Write("a.zip", "a");
  const std::string other = "#" + std::string(300, 'L');  // longer than any line the scans read
  const std::string content = "~" + File("a.zip") + "\r\n" + "\r\n" + File("a.zip") + "\n" + other +
                              "\r\n" + File("A.ZIP") + "\r\n" + File("a.zip") + " \t\n" +
                              "no line end";
  dir.Write("out/00ec0064.flo", content);
  const int current = Take(SendKind::ListedFile, File("a.zip"), File("out/00ec0064.flo"));
  EXPECT_FALSE(Record(current).io_error);
  // Every line naming the file goes (letter case and trailing blanks aside);
  // the line marked "~" as sent stays for the mailer.
  EXPECT_EQ(dir.Read("out/00ec0064.flo"),
            "~" + File("a.zip") + "\r\n" + "\r\n" + other + "\r\n" + "no line end");
}

TEST_F(RecordFixture, FlowFileWithoutTheLineIsNotRewritten) {
  const std::string flow = dir.Write("out/00ec0064.flo", testing::TextLines({"~" + File("a")}));
  struct stat before {};
  ASSERT_EQ(stat(flow.c_str(), &before), 0);
  const int current = Take(SendKind::ListedFile, File("a"), flow);
  Record(current);
  struct stat after {};
  ASSERT_EQ(stat(flow.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(dir.Read("out/00ec0064.flo"), testing::TextLines({"~" + File("a")}));
}

// Run as root (from cron) beside a mailer that runs as its own user: the
// rewritten flow file is a new file, with the mailer's owner, group and mode.
TEST_F(RecordFixture, RewriteIsAtomicAndKeepsTheMailersOwner) {
  const auto mailer = testing::UnprivilegedUser("kestrelftn");
  if (!mailer) GTEST_SKIP() << "needs root, to give the flow file the mailer's owner";
  const std::string flow =
      dir.Write("out/00ec00c8.flo", testing::TextLines({File("x"), "^" + File("y")}, "\n"));
  ASSERT_EQ(chown(flow.c_str(), mailer->uid, mailer->gid), 0);
  ASSERT_EQ(chmod(flow.c_str(), 0660), 0);
  struct stat before {};
  ASSERT_EQ(stat(flow.c_str(), &before), 0);
  const int current = Take(SendKind::ListedFile, File("y"), flow);
  EXPECT_FALSE(Record(current).io_error);
  struct stat after {};
  ASSERT_EQ(stat(flow.c_str(), &after), 0);
  // A new file renamed over the old one, never the old one emptied and refilled.
  EXPECT_NE(before.st_ino, after.st_ino);
  EXPECT_EQ(after.st_uid, mailer->uid);
  EXPECT_EQ(after.st_gid, mailer->gid);
  EXPECT_EQ(after.st_mode & 07777, 0660u);
  EXPECT_EQ(dir.Read("out/00ec00c8.flo"), testing::TextLines({File("x")}, "\n"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.File("out")),
                          std::filesystem::directory_iterator()),
            1);
}

// Run as the mailer's user itself, without root: its flow file under a group
// it is in besides its own is rewritten under that group; a flow file of
// another owner cannot be given back to it and stays as it was.
TEST_F(RecordFixture, WithoutRootTheRewriteKeepsTheGroupOrLeavesTheFile) {
  const auto mailer = testing::UnprivilegedUser("kestrelftn");
  const auto other = testing::UnprivilegedUser("kestrelmail");
  if (!mailer || !other) GTEST_SKIP() << "needs root, to run as the mailer's user";
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(dir.MakeDir("out").c_str(), 0777), 0);
  const std::string own =
      dir.Write("out/00ec0064.flo", testing::TextLines({File("x"), "^" + File("y")}, "\n"));
  ASSERT_EQ(chown(own.c_str(), mailer->uid, other->gid), 0);
  ASSERT_EQ(chmod(own.c_str(), 0640), 0);
  const std::string foreign_content = testing::TextLines({"^" + File("z")}, "\n");
  const std::string foreign = dir.Write("out/00ec00c8.flo", foreign_content);
  ASSERT_EQ(chmod(foreign.c_str(), 0666), 0);
  struct stat before {};
  ASSERT_EQ(stat(own.c_str(), &before), 0);
  const int kept = Take(SendKind::ListedFile, File("y"), own);
  const int left = Take(SendKind::ListedFile, File("z"), foreign);

  const auto log = testing::RunAs(*mailer, other->gid, [&] {
    const bool kept_failed = Record(kept).io_error;
    const bool left_failed = Record(left).io_error;
    return std::string(kept_failed ? "failed" : "kept") + (left_failed ? " failed\n" : " kept\n") +
           testing::TextLines(Log(), "\n");
  });
  ASSERT_TRUE(log);
  EXPECT_EQ(*log,
            testing::TextLines({"kept failed", "-- Removing file from flowfile " + own,
                                "-- Removing file from flowfile " + foreign,
                                "-- Left " + foreign + " as it was: its owner could not be kept (" +
                                    platform::ErrorText(EPERM) + ")",
                                "-- " + File("z") + " was sent, not tidied: not mailed again"},
                               "\n"));
  struct stat after {};
  ASSERT_EQ(stat(own.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_uid, mailer->uid);
  EXPECT_EQ(after.st_gid, other->gid);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(dir.Read("out/00ec0064.flo"), testing::TextLines({File("x")}, "\n"));
  EXPECT_EQ(dir.Read("out/00ec00c8.flo"), foreign_content);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.File("out")),
                          std::filesystem::directory_iterator()),
            2);
}

TEST_F(RecordFixture, TruncationKeepsTheFileItsOwnerAndItsLinks) {
  const std::string file = dir.Write("files/nodelist.z49", "nodelist");
  ASSERT_EQ(link(file.c_str(), File("files/linked").c_str()), 0);
  struct stat before {};
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  const int current = Take(SendKind::OutboundPacket, file, "", AfterSendAction::Truncate);
  Record(current);
  struct stat after {};
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_size, 0);
  EXPECT_EQ(after.st_nlink, 2u);
  EXPECT_EQ(Log(), Lines{"-- Zeroing: " + file});
}

TEST_F(RecordFixture, FailedReadOrRewriteEndsTheJobAndKeepsTheListWhole) {
  // A name so long that no temporary name fits beside it: the rewrite fails.
  const std::string name = std::string(245, 'F') + ".FLO";
  const std::string content = testing::TextLines({File("x"), "^" + File("y")});
  dir.Write(name, content);
  const int current = Take(SendKind::ListedFile, File("y"), File(name));
  EXPECT_TRUE(Record(current).io_error);
  EXPECT_EQ(dir.Read(name), content);
  EXPECT_EQ(list.Entry(current).State, SendState::Sent);  // the mail itself is across
  EXPECT_EQ(Log().back(), "-- " + File("y") + " was sent, not tidied: not mailed again");

  // Opens, but every read fails: /proc/self/mem at offset 0.
  dir.MakeDir("out");
  std::filesystem::create_symlink("/proc/self/mem", File("out/00ec0064.flo"));
  front_end.ClearPane(core::Side::Sending);
  const int unreadable = Take(SendKind::ListedFile, File("z"), File("out/00ec0064.flo"));
  EXPECT_TRUE(Record(unreadable).io_error);
  EXPECT_EQ(Log(), (Lines{"-- Removing file from flowfile " + File("out/00ec0064.flo"),
                          "-- Could not read " + File("out/00ec0064.flo") + ": " +
                              platform::ErrorText(EIO),
                          "-- " + File("z") + " was sent, not tidied: not mailed again"}));
}

// A directory the mailer's user may not change: each failure to tidy is a
// problem; a packet stays queued (its entry untidied), a listed file whose
// line went does not.
TEST_F(RecordFixture, FilesThatCannotBeDeletedOrZeroedAreProblems) {
  const auto mailer = testing::UnprivilegedUser("kestrelftn");
  if (!mailer) GTEST_SKIP() << "needs root, to run as a user who cannot write the outbound";
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(dir.MakeDir("out").c_str(), 0755), 0);
  const std::string packet = dir.Write("out/00ec0064.out", "packet");
  const std::string listed = dir.Write("out/a.zip", "a");
  ASSERT_EQ(chmod(listed.c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir.MakeDir("flows").c_str(), 0777), 0);
  const std::string flow = dir.Write("flows/00ec0064.flo", "#" + listed + "\n");
  ASSERT_EQ(chown(flow.c_str(), mailer->uid, mailer->gid), 0);
  const int queued = Take(SendKind::OutboundPacket, packet, "", AfterSendAction::Delete);
  const int zeroed = Take(SendKind::ListedFile, listed, flow, AfterSendAction::Truncate);
  const auto outcome = testing::RunAs(*mailer, mailer->gid, [&] {
    std::string text;
    for (const int current : {queued, zeroed}) {
      const RecordResult result = Record(current);
      text += std::to_string(result.untidied.size()) + (result.not_tidied ? " not" : " tidied") +
              (result.io_error ? " error\n" : "\n");
    }
    return text + testing::TextLines(Log(), "\n");
  });
  ASSERT_TRUE(outcome);
  EXPECT_EQ(*outcome, testing::TextLines(
                          {"1 not", "0 not", "-- Deleting: " + packet,
                           "-- Could not delete " + packet + ": " + platform::ErrorText(EACCES),
                           "-- Removing file from flowfile " + flow, "-- Zeroing: " + listed,
                           "-- Could not zero " + listed + ": " + platform::ErrorText(EACCES)},
                          "\n"));
  EXPECT_TRUE(dir.Exists("out/00ec0064.out"));
}

TEST_F(RecordFixture, RemappedPathsFindTheirLine) {
  dir.Write("a.zip", "a");
  dir.Write("out/00EC0064.FLO", testing::TextLines({"^c:\\files\\a.zip", "c:\\files\\b.zip"}));
  configuration.RemapFrom = "C:\\FILES";
  configuration.RemapTo = dir.path();
  const int current = Take(SendKind::ListedFile, File("a.zip"), File("out/00EC0064.FLO"));
  Record(current);
  EXPECT_EQ(dir.Read("out/00EC0064.FLO"), testing::TextLines({"c:\\files\\b.zip"}));
}

TEST_F(RecordFixture, FileAttachSubjectLosesOneFileAtATime) {
  dir.Write("ba.zip", "ba");
  dir.Write("a.zip", "a");
  testing::StoredMessage message;
  // Words are looked up as the scan looked them up, letter case aside.
  message.subject = mime::UpperCase(File("ba.zip")) + " " + File("a.zip");
  message.attribute = fido::kAttrLocal | fido::kAttrFileAttached | fido::kAttrKillSent;
  message.text = {{"FLAGS KFS"}, {"Greetings"}};
  const std::string msg = dir.Write("netmail/1.msg", testing::EncodeStoredMessage(message));

  // The second file's name ends like the first's.
  const int first = Take(SendKind::AttachedFile, File("a.zip"), msg);
  Record(first);
  auto after = ReadMessage("netmail/1.msg");
  EXPECT_EQ(after.header.subject, mime::UpperCase(File("ba.zip")) + " ");
  EXPECT_EQ(after.header.attribute, message.attribute);

  const int second = Take(SendKind::AttachedFile, File("ba.zip"), msg);
  Record(second);
  after = ReadMessage("netmail/1.msg");
  EXPECT_EQ(after.header.subject, "KESTREL - Files sent  6-Dec-2026 08:05 ");
  EXPECT_EQ(after.header.attribute, fido::kAttrLocal | fido::kAttrKillSent);
  // Only the subject and the attribute changed.
  EXPECT_EQ(after.raw_text, testing::EncodeMessageText(message.text) + std::string(1, '\0'));
  EXPECT_EQ(after.header.from_name, message.from_name);
  EXPECT_EQ(Log(), (Lines{"-- Removing file from MSG-subject " + msg,
                          "-- Removing file from MSG-subject " + msg}));
}

TEST_F(RecordFixture, NetmailTextGetsSentFlagOrIsDeletedWithKillSent) {
  testing::StoredMessage plain;
  plain.text = {{}, {"text"}};
  const std::string bytes = testing::EncodeStoredMessage(plain);
  dir.Write("netmail/1.MSG", bytes);
  dir.Write("netmail/2.MSG", bytes);
  const int keep = Take(SendKind::NetmailText, File("netmail/1.MSG"));
  Record(keep);
  const auto kept = ReadMessage("netmail/1.MSG");
  EXPECT_EQ(kept.header.attribute, fido::kAttrLocal | fido::kAttrSent);
  std::string expected = bytes;
  expected[186] = static_cast<char>(expected[186] | fido::kAttrSent);
  EXPECT_EQ(dir.Read("netmail/1.MSG"), expected);

  const int kill = Take(SendKind::NetmailText, File("netmail/2.MSG"), "", AfterSendAction::Delete);
  Record(kill);
  EXPECT_FALSE(dir.Exists("netmail/2.MSG"));
  EXPECT_EQ(Log(),
            (Lines{"-- Setting sent flag on 1.MSG", "-- Deleting: " + File("netmail/2.MSG")}));
}

TEST_F(RecordFixture, PackedNetmailGetsSentFlag) {
  dir.Write("netmail/3.MSG", testing::EncodeStoredMessage(testing::StoredMessage{}));
  const int current = Take(SendKind::NetmailPacket, File("netmail/3.MSG"));
  Record(current);
  EXPECT_EQ(ReadMessage("netmail/3.MSG").header.attribute, fido::kAttrLocal | fido::kAttrSent);
}

TEST_F(RecordFixture, DisagreeingEntriesDeleteThenRecreateEmpty) {
  dir.Write("files/a.zip", "data");
  const int current =
      Take(SendKind::OutboundPacket, File("files/a.zip"), "", AfterSendAction::Delete);
  Take(SendKind::OutboundPacket, File("files/a.zip"), "", AfterSendAction::Truncate);
  Record(current);
  EXPECT_TRUE(dir.Exists("files/a.zip"));
  EXPECT_EQ(dir.Read("files/a.zip"), "");
  EXPECT_EQ(Log(),
            (Lines{"-- Deleting: " + File("files/a.zip"), "-- Zeroing: " + File("files/a.zip")}));
}

TEST_F(RecordFixture, FileStillListedForAnotherSystemIsKept) {
  dir.Write("files/a.zip", "data");
  dir.Write("out/00EC0064.FLO", testing::TextLines({"^" + dir.File("files/a.zip")}));
  dir.Write("out/00EC0065.FLO", testing::TextLines({"^" + dir.File("files/a.zip")}));
  const int current = Take(SendKind::ListedFile, File("files/a.zip"), File("out/00EC0064.FLO"),
                           AfterSendAction::Delete);
  // The other system's copy did not go (busy outbound or refused recipient).
  const int other = Take(SendKind::ListedFile, File("files/a.zip"), File("out/00EC0065.FLO"),
                         AfterSendAction::Delete);
  list.Entry(other).State = SendState::Skipped;
  Record(current);
  EXPECT_EQ(dir.Read("files/a.zip"), "data");
  EXPECT_FALSE(dir.Exists("out/00EC0064.FLO"));
  EXPECT_TRUE(dir.Exists("out/00EC0065.FLO"));
  EXPECT_EQ(Log().back(),
            "-- Keeping " + File("files/a.zip") + " (still listed for another system)");
}

// A file marked "^" for one link stays while any list of the mailer still
// names it for sending: a flow file of another link (redirected or not), of a
// point or of another zone, or a VFIDO list. A line marked "~" as sent, or one
// naming a case variant of the file, holds nothing.
struct HolderCase {
  const char* label;
  const char* list;  // the other list, relative; empty: none
  const char* prefix;
  const char* listed;  // the file it names, relative
  bool kept;
};

class RecordHolderTest : public RecordFixture, public ::testing::WithParamInterface<HolderCase> {};

TEST_P(RecordHolderTest, FileNamedByAnotherListIsKept) {
  const HolderCase& test = GetParam();
  configuration.OUTBOUND = File("outbound");
  configuration.VFIDO = File("vfido") + "\\";
  const std::string file = dir.Write("files/a.zip", "lower");
  dir.Write("files/A.ZIP", "upper");
  const std::string flow =
      dir.Write("outbound/00ec0064.flo", testing::TextLines({"^" + file}, "\n"));
  if (*test.list) {
    dir.Write(test.list, testing::TextLines({test.prefix + File(test.listed)}, "\n"));
  }
  Record(Take(SendKind::ListedFile, file, flow, AfterSendAction::Delete));
  EXPECT_FALSE(dir.Exists("outbound/00ec0064.flo"));
  EXPECT_EQ(dir.Exists("files/a.zip"), test.kept);
  EXPECT_TRUE(dir.Exists("files/A.ZIP"));
  if (test.kept) {
    EXPECT_EQ(Log().back(), "-- Keeping " + file + " (still listed in " + File(test.list) + ")");
  } else {
    EXPECT_EQ(Log().back(), "-- Deleting: " + file);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, RecordHolderTest,
    ::testing::Values(
        HolderCase{"other_link", "outbound/00ec012c.flo", "^", "files/a.zip", true},
        HolderCase{"point", "outbound/00ec0064.pnt/00000001.flo", "#", "files/a.zip", true},
        HolderCase{"other_zone", "outbound.003/00010001.clo", "", "files/a.zip", true},
        HolderCase{"vfido_list", "vfido/00000001.lst", "^", "files/a.zip", true},
        HolderCase{"sent_already", "outbound/00ec012c.flo", "~", "files/a.zip", false},
        HolderCase{"case_variant", "outbound/00ec012c.flo", "^", "files/A.ZIP", false},
        HolderCase{"none", "", "", "", false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(RecordFixture, EntriesOfAnEarlierFailedMessageAreNotTouched) {
  dir.Write("files/a.zip", "a");
  dir.Write("files/b.zip", "b");
  const std::string flow_content =
      testing::TextLines({"^" + dir.File("files/a.zip"), dir.File("files/b.zip")});
  dir.Write("out/00EC0064.FLO", flow_content);
  // a.zip could not be opened: its entry stays Taken.
  const int failed = Take(SendKind::ListedFile, File("files/a.zip"), File("out/00EC0064.FLO"),
                          AfterSendAction::Delete);
  const int current = Take(SendKind::ListedFile, File("files/b.zip"), File("out/00EC0064.FLO"));
  Record(current);
  EXPECT_EQ(list.Entry(failed).State, SendState::Taken);
  EXPECT_EQ(list.Entry(current).State, SendState::Sent);
  EXPECT_TRUE(dir.Exists("files/a.zip"));
  EXPECT_EQ(dir.Read("out/00EC0064.FLO"), testing::TextLines({"^" + dir.File("files/a.zip")}));
}

TEST_F(RecordFixture, MissingAndMalformedFilesArePassedOver) {
  dir.Write("netmail/short.MSG", std::string(100, 'x'));
  const int a = Take(SendKind::ListedFile, File("x"), File("out/missing.flo"));
  const int b = Take(SendKind::AttachedFile, File("x"), File("netmail/short.MSG"));
  const int c = Take(SendKind::NetmailText, File("netmail/missing.MSG"));
  for (const int current : {a, b, c}) {
    EXPECT_FALSE(Record(current).io_error);
    EXPECT_EQ(list.Entry(current).State, SendState::Sent);
  }
  EXPECT_EQ(dir.Read("netmail/short.MSG"), std::string(100, 'x'));
}

}  // namespace
}  // namespace kestrel::outbound
