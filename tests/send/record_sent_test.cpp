// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/record_sent.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/text_utils.h"
#include "platform/clock.h"
#include "support/fido_files.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace kestrel::send {
namespace {

using outbound::AfterSendAction;
using outbound::SendEntry;
using outbound::SendKind;
using outbound::SendState;
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

  // Adds a Taken entry; returns its number.
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
  RecordResult Record(int current, const PathRemap& remap = {}) {
    return RecordSent(list, current, logger, remap);
  }
  Lines Log() const { return front_end.Lines(core::Side::Sending); }
  // The upper-cased full path of a file in the scratch directory, as the scans store it.
  std::string Upper(const std::string& relative) const {
    return core::UpperCase(dir.File(relative));
  }
  testing::DecodedStoredMessage ReadMessage(const std::string& relative) const {
    const auto decoded = testing::DecodeStoredMessage(dir.Read(relative));
    EXPECT_TRUE(decoded);
    return decoded.value_or(testing::DecodedStoredMessage{});
  }

  testing::TempDir dir;
  testing::RecordingFrontEnd front_end;
  core::Logger logger{front_end, dir.path()};
  outbound::SendList list;
};

TEST_F(RecordFixture, FlowFileLoosesTheBundleLineAndTheBundleIsDeleted) {
  dir.Write("files/0000FFFE.MO0", "bundle");
  dir.Write("files/b.txt", "keep");
  const std::string flow = dir.Write(
      "out/00EC0064.FLO",
      testing::TextLines({"^" + dir.File("files/0000FFFE.MO0"), "#" + dir.File("files/b.txt")}));
  const int current = Take(SendKind::ListedFile, Upper("files/0000FFFE.MO0"),
                           Upper("out/00EC0064.FLO"), AfterSendAction::Delete);
  EXPECT_FALSE(Record(current).io_error);
  EXPECT_EQ(dir.Read("out/00EC0064.FLO"), testing::TextLines({"#" + dir.File("files/b.txt")}));
  EXPECT_FALSE(dir.Exists("files/0000FFFE.MO0"));
  EXPECT_TRUE(dir.Exists("files/b.txt"));
  EXPECT_EQ(Log(), (Lines{"-- Removing file from flowfile " + Upper("out/00EC0064.FLO"),
                          "-- Deleting: " + Upper("files/0000FFFE.MO0")}));
  EXPECT_EQ(list.Entry(current).State, SendState::Sent);
}

TEST_F(RecordFixture, EmptiedListsAreDeletedAndVfidoListsTakeTheirPacket) {
  dir.Write("files/a.zip", "a");
  dir.Write("out/00EC0064.FLO", testing::TextLines({dir.File("files/a.zip")}));
  dir.Write("vfido/00000001.LST", testing::TextLines({"^" + dir.File("files/a.zip")}, "\n"));
  dir.Write("vfido/00000001.PKT", "packet");
  dir.Write("vfido/00000002.PKT", "other packet");
  const int current = Take(SendKind::ListedFile, Upper("files/a.zip"), Upper("out/00EC0064.FLO"));
  Take(SendKind::ListedFile, Upper("files/a.zip"), Upper("vfido/00000001.LST"),
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
  const std::string other = "#" + std::string(300, 'L');  // longer than any line the scans read
  const std::string content = "~" + dir.File("a.zip") + "\r\n" + "\r\n" + dir.File("a.zip") + "\n" +
                              other + "\r\n" + dir.File("A.ZIP") + "\r\n" + "no line end";
  dir.Write("out/00EC0064.FLO", content);
  const int current = Take(SendKind::ListedFile, Upper("a.zip"), Upper("out/00EC0064.FLO"));
  EXPECT_FALSE(Record(current).io_error);
  // Both lines naming the file go (letter case aside); the tilde line is another name.
  EXPECT_EQ(dir.Read("out/00EC0064.FLO"),
            "~" + dir.File("a.zip") + "\r\n" + "\r\n" + other + "\r\n" + "no line end");
}

TEST_F(RecordFixture, FlowFileWithoutTheLineIsNotRewritten) {
  const std::string flow = dir.Write("out/00EC0064.FLO", testing::TextLines({"~" + dir.File("a")}));
  struct stat before {};
  ASSERT_EQ(stat(flow.c_str(), &before), 0);
  const int current = Take(SendKind::ListedFile, Upper("a"), Upper("out/00EC0064.FLO"));
  Record(current);
  struct stat after {};
  ASSERT_EQ(stat(flow.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(dir.Read("out/00EC0064.FLO"), testing::TextLines({"~" + dir.File("a")}));
}

TEST_F(RecordFixture, RewriteIsAtomic) {
  const std::string flow = dir.Write("out/00EC0064.FLO", testing::TextLines({"x", "^y"}));
  struct stat before {};
  ASSERT_EQ(stat(flow.c_str(), &before), 0);
  const int current = Take(SendKind::ListedFile, "Y", Upper("out/00EC0064.FLO"));
  EXPECT_FALSE(Record(current).io_error);
  struct stat after {};
  ASSERT_EQ(stat(flow.c_str(), &after), 0);
  // A new file renamed over the old one, never the old one emptied and refilled.
  EXPECT_NE(before.st_ino, after.st_ino);
  EXPECT_EQ(dir.Read("out/00EC0064.FLO"), testing::TextLines({"x"}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.File("out")),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(RecordFixture, FailedRewriteKeepsTheListWhole) {
  // A name so long that no temporary name fits beside it: the rewrite fails.
  const std::string name = std::string(245, 'F') + ".FLO";
  const std::string content = testing::TextLines({"x", "^y"});
  dir.Write(name, content);
  const int current = Take(SendKind::ListedFile, "Y", dir.File(name));
  EXPECT_TRUE(Record(current).io_error);
  EXPECT_EQ(dir.Read(name), content);
  EXPECT_EQ(list.Entry(current).State, SendState::Sent);  // the mail itself is across
}

TEST_F(RecordFixture, RemappedPathsFindTheirLine) {
  dir.Write("out/00EC0064.FLO", testing::TextLines({"^c:\\files\\a.zip", "c:\\files\\b.zip"}));
  const PathRemap remap{"C:\\FILES", core::UpperCase(dir.path())};
  const int current = Take(SendKind::ListedFile, core::UpperCase(dir.path()) + "\\A.ZIP",
                           Upper("out/00EC0064.FLO"));
  Record(current, remap);
  EXPECT_EQ(dir.Read("out/00EC0064.FLO"), testing::TextLines({"c:\\files\\b.zip"}));
}

TEST_F(RecordFixture, FileAttachSubjectLosesOneFileAtATime) {
  testing::StoredMessage message;
  message.subject = dir.File("ba.zip") + " " + dir.File("a.zip");
  message.attribute = fido::kAttrLocal | fido::kAttrFileAttached | fido::kAttrKillSent;
  message.text = {{"FLAGS KFS"}, {"Greetings"}};
  dir.Write("netmail/1.MSG", testing::EncodeStoredMessage(message));
  const std::string msg = Upper("netmail/1.MSG");

  // The scan stores the name as written; the second one is a tail of the first.
  const int first = Take(SendKind::AttachedFile, dir.File("a.zip"), msg);
  Record(first);
  auto after = ReadMessage("netmail/1.MSG");
  EXPECT_EQ(after.header.subject, dir.File("ba.zip") + " ");
  EXPECT_EQ(after.header.attribute, message.attribute);

  const int second = Take(SendKind::AttachedFile, core::UpperCase(dir.File("ba.zip")), msg);
  Record(second);
  after = ReadMessage("netmail/1.MSG");
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
  const int keep = Take(SendKind::NetmailText, Upper("netmail/1.MSG"));
  Record(keep);
  const auto kept = ReadMessage("netmail/1.MSG");
  EXPECT_EQ(kept.header.attribute, fido::kAttrLocal | fido::kAttrSent);
  std::string expected = bytes;
  expected[186] = static_cast<char>(expected[186] | fido::kAttrSent);
  EXPECT_EQ(dir.Read("netmail/1.MSG"), expected);

  const int kill = Take(SendKind::NetmailText, Upper("netmail/2.MSG"), "", AfterSendAction::Delete);
  Record(kill);
  EXPECT_FALSE(dir.Exists("netmail/2.MSG"));
  EXPECT_EQ(Log(),
            (Lines{"-- Setting sent flag on 1.MSG", "-- Deleting: " + Upper("netmail/2.MSG")}));
}

TEST_F(RecordFixture, PackedNetmailLosesItsPacketAndGetsSentFlag) {
  dir.Write("netmail/3.MSG", testing::EncodeStoredMessage(testing::StoredMessage{}));
  dir.Write("work/0123ABCD.PKT", "packet");
  const int current =
      Take(SendKind::NetmailPacket, dir.File("work/0123ABCD.PKT"), Upper("netmail/3.MSG"));
  Record(current);
  EXPECT_FALSE(dir.Exists("work/0123ABCD.PKT"));
  EXPECT_EQ(list.Entry(current).Path, Upper("netmail/3.MSG"));
  EXPECT_EQ(ReadMessage("netmail/3.MSG").header.attribute,
            fido::kAttrLocal | fido::kAttrSent);
}

TEST_F(RecordFixture, DisagreeingEntriesDeleteThenRecreateEmpty) {
  dir.Write("files/a.zip", "data");
  const int current =
      Take(SendKind::OutboundPacket, Upper("files/a.zip"), "", AfterSendAction::Delete);
  Take(SendKind::OutboundPacket, Upper("files/a.zip"), "", AfterSendAction::Truncate);
  Record(current);
  EXPECT_TRUE(dir.Exists("files/a.zip"));
  EXPECT_EQ(dir.Read("files/a.zip"), "");
  EXPECT_EQ(Log(),
            (Lines{"-- Deleting: " + Upper("files/a.zip"), "-- Zeroing: " + Upper("files/a.zip")}));
}

TEST_F(RecordFixture, FileStillListedForAnotherSystemIsKept) {
  dir.Write("files/a.zip", "data");
  dir.Write("out/00EC0064.FLO", testing::TextLines({"^" + dir.File("files/a.zip")}));
  dir.Write("out/00EC0065.FLO", testing::TextLines({"^" + dir.File("files/a.zip")}));
  const int current = Take(SendKind::ListedFile, Upper("files/a.zip"), Upper("out/00EC0064.FLO"),
                           AfterSendAction::Delete);
  // The other system's copy did not go (busy outbound or refused recipient).
  const int other = Take(SendKind::ListedFile, Upper("files/a.zip"), Upper("out/00EC0065.FLO"),
                         AfterSendAction::Delete);
  list.Entry(other).State = SendState::Skipped;
  Record(current);
  EXPECT_EQ(dir.Read("files/a.zip"), "data");
  EXPECT_FALSE(dir.Exists("out/00EC0064.FLO"));
  EXPECT_TRUE(dir.Exists("out/00EC0065.FLO"));
  EXPECT_EQ(Log().back(),
            "-- Keeping " + Upper("files/a.zip") + " (still listed for another system)");
}

TEST_F(RecordFixture, EntriesOfAnEarlierFailedMessageAreNotTouched) {
  dir.Write("files/a.zip", "a");
  dir.Write("files/b.zip", "b");
  const std::string flow_content =
      testing::TextLines({"^" + dir.File("files/a.zip"), dir.File("files/b.zip")});
  dir.Write("out/00EC0064.FLO", flow_content);
  // a.zip could not be opened: its entry stays Taken.
  const int failed = Take(SendKind::ListedFile, Upper("files/a.zip"), Upper("out/00EC0064.FLO"),
                          AfterSendAction::Delete);
  const int current = Take(SendKind::ListedFile, Upper("files/b.zip"), Upper("out/00EC0064.FLO"));
  Record(current);
  EXPECT_EQ(list.Entry(failed).State, SendState::Taken);
  EXPECT_EQ(list.Entry(current).State, SendState::Sent);
  EXPECT_TRUE(dir.Exists("files/a.zip"));
  EXPECT_EQ(dir.Read("out/00EC0064.FLO"), testing::TextLines({"^" + dir.File("files/a.zip")}));
}

TEST_F(RecordFixture, MissingAndMalformedFilesArePassedOver) {
  dir.Write("netmail/short.MSG", std::string(100, 'x'));
  const int a = Take(SendKind::ListedFile, "X", Upper("out/MISSING.FLO"));
  const int b = Take(SendKind::AttachedFile, "X", Upper("netmail/short.MSG"));
  const int c = Take(SendKind::NetmailText, Upper("netmail/missing.MSG"));
  for (const int current : {a, b, c}) {
    EXPECT_FALSE(Record(current).io_error);
    EXPECT_EQ(list.Entry(current).State, SendState::Sent);
  }
  EXPECT_EQ(dir.Read("netmail/short.MSG"), std::string(100, 'x'));
}

}  // namespace
}  // namespace kestrel::send
