// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/netmail_scan.h"

#include "outbound/scan_context.h"
#include "platform/files.h"
#include "scan_fixture.h"

namespace kestrel::outbound {
namespace {

using testing::StoredMessage;

class NetmailScanTest : public ScanFixture {
 protected:
  NetmailScanTest() { configuration.NETMAIL = Upper("netmail") + "\\"; }

  void Scan() {
    ScanContext context(configuration, list, logger);
    ScanNetmail(context);
    gross = context.gross_bytes();
  }

  static StoredMessage To(std::uint16_t net, std::uint16_t node, std::uint16_t attribute) {
    StoredMessage m;
    m.dest_net = net;
    m.dest_node = node;
    m.attribute = attribute;
    return m;
  }

  std::string Write(const std::string& name, const StoredMessage& message) {
    return dir.Write("netmail/" + name, testing::EncodeStoredMessage(message));
  }

  std::int64_t gross = 0;
};

TEST_F(NetmailScanTest, IntlMessageBecomesAPacketEntry) {
  Redirect("2:236/100.0");
  StoredMessage m = To(236, 100, fido::kAttrLocal | fido::kAttrKillSent);
  m.text.kludges = {"INTL 2:236/100 2:236/1"};
  m.text.lines = {"Hello Joe"};
  const std::size_t size = testing::EncodeStoredMessage(m).size();
  Write("1.MSG", m);
  Scan();
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "-- Scanning netmail....",
                         "--   1.MSG -> joe@example.net",
                         "--   Message text " + std::to_string(size) + "b",
                     }));
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Entry(1).Kind, SendKind::NetmailPacket);
  EXPECT_EQ(list.Entry(1).Path, dir.File("netmail/1.MSG"));
  EXPECT_EQ(list.Entry(1).ListPath, "");
  EXPECT_EQ(list.Entry(1).AfterSend, AfterSendAction::Delete);
  EXPECT_EQ(list.TotalBytes, static_cast<std::int32_t>(size));
}

TEST_F(NetmailScanTest, PointAndZoneKludgesPickTheRedirect) {
  Redirect("2:236/100.0", "node@example.net");
  Redirect("2:236/100.5", "point@example.net", "Point", /*send_as_text=*/true);
  Redirect("1:236/100.0", "other@example.net");
  StoredMessage point = To(236, 100, fido::kAttrLocal);
  point.text.kludges = {"TOPT 5"};
  Write("1.msg", point);
  StoredMessage zone = To(236, 100, fido::kAttrLocal);
  zone.text.kludges = {"INTL 1:236/100 2:236/1"};
  Write("2.msg", zone);
  StoredMessage plain = To(236, 100, fido::kAttrLocal);
  Write("3.msg", plain);
  Scan();
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Entry(1).RedirectIndex, 2);
  EXPECT_EQ(list.Entry(1).Kind, SendKind::NetmailText);
  EXPECT_EQ(list.Entry(2).RedirectIndex, 3);
  EXPECT_EQ(list.Entry(3).RedirectIndex, 1);
  EXPECT_TRUE(front_end.HasLine(core::Side::Sending, "--   1.msg -> point@example.net"));
}

TEST_F(NetmailScanTest, FileAttachWithKillFileSent) {
  Redirect("2:236/100");
  const std::string a = "C:\\FILES\\A.ZIP", b = "C:\\FILES\\B.ZIP";
  const std::string real_a = dir.File("c:/files/a.zip");
  dir.Write("c:/files/a.zip", std::string(100, 'a'));
  dir.Write("c:/files/b.zip", std::string(50, 'b'));
  ProgramHomeAt home(dir.path());
  StoredMessage m = To(236, 100, fido::kAttrLocal | fido::kAttrFileAttached);
  m.subject = a + " " + b;
  m.text.kludges = {"MSGID: 2:236/1 12345678", "FLAGS KFS"};
  m.text.lines = {"Here are the files."};
  Write("5.MSG", m);
  m.text.lines.clear();
  Write("6.MSG", m);
  Scan();

  ASSERT_EQ(list.Count(), 5);
  for (int i : {1, 2, 4, 5}) {
    EXPECT_EQ(list.Entry(i).Kind, SendKind::AttachedFile);
    EXPECT_EQ(list.Entry(i).AfterSend, AfterSendAction::Delete);
  }
  EXPECT_EQ(list.Entry(1).Path, real_a);
  EXPECT_EQ(list.Entry(1).ListPath, dir.File("netmail/5.MSG"));
  EXPECT_EQ(list.Entry(2).Path, dir.File("c:/files/b.zip"));
  EXPECT_EQ(list.Entry(3).Kind, SendKind::NetmailPacket);
  EXPECT_EQ(list.Entry(3).AfterSend, AfterSendAction::Nothing);
  EXPECT_EQ(list.Entry(4).ListPath, dir.File("netmail/6.MSG"));
  EXPECT_EQ(Lines().at(2), "--   " + real_a + " 100b (Delete after)");
  // The files count once in the total, each time in the gross.
  const std::int64_t text_size =
      static_cast<std::int64_t>(*platform::FileSize(dir.File("netmail/5.MSG")));
  EXPECT_EQ(list.TotalBytes, 150 + text_size);
  EXPECT_EQ(gross, 300 + text_size);
}

TEST_F(NetmailScanTest, MessagesThatAreNotTaken) {
  Redirect("2:236/100");
  dir.Write("files/a.zip", "a");
  Write("1.MSG", To(236, 10, fido::kAttrLocal));                          // other node
  Write("2.MSG", To(236, 100, 0));                                        // passing through
  Write("3.MSG", To(236, 100, fido::kAttrLocal | fido::kAttrSent));       // already sent
  Write("4.MSG", To(236, 100, fido::kAttrInTransit | fido::kAttrCrash));  // not local
  Scan();
  EXPECT_EQ(Lines(), std::vector<std::string>{"-- Scanning netmail...."});
  EXPECT_EQ(list.Count(), 0);
}

TEST_F(NetmailScanTest, AttachProblemsAreReported) {
  Redirect("2:236/100");
  dir.Write("files/empty.zip", "");
  StoredMessage empty = To(236, 100, fido::kAttrLocal | fido::kAttrFileAttached);
  empty.text.lines = {"text that is not sent"};
  Write("1.MSG", empty);
  StoredMessage missing = empty;
  missing.text.kludges = {"MSGID: 2:236/1 1"};
  missing.subject = "/NO/SUCH.ZIP " + Upper("files/empty.zip");
  Write("2.MSG", missing);
  Scan();
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "-- Scanning netmail....",
                         "--   1.MSG -> joe@example.net",
                         "--   No files in message",
                         "--   2.MSG -> joe@example.net",
                         "--   /NO/SUCH.ZIP not found",
                         "--   " + dir.File("files/empty.zip") + " not found",
                         "--   Message text " +
                             std::to_string(*platform::FileSize(dir.File("netmail/2.MSG"))) + "b",
                     }));
}

TEST_F(NetmailScanTest, MissingDirectoryIsReportedEvenQuietly) {
  configuration.DISABLECHECK = true;
  configuration.NETMAIL = Upper("nowhere") + "\\";
  Scan();
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{"-- Scanning netmail....", "-- Directory not found"}));
}

TEST_F(NetmailScanTest, BrokenMessagesAreSkippedAndLeftAlone) {
  Redirect("2:236/100");
  StoredMessage good = To(236, 100, fido::kAttrLocal | fido::kAttrFileAttached);
  const std::string bytes = testing::EncodeStoredMessage(good);
  dir.Write("netmail/1.MSG", bytes.substr(0, 189));  // one byte short of a header
  dir.Write("netmail/2.MSG", "");
  // A subject that fills its 72 bytes without NUL, of garbage.
  StoredMessage garbage = good;
  garbage.subject = std::string(36, '\x01') + std::string(36, 'Z');
  garbage.nul_terminated = false;
  Write("3.MSG", garbage);
  // A header and nothing after it.
  good.attribute = fido::kAttrLocal;
  good.nul_terminated = false;
  Write("4.MSG", good);
  dir.MakeDir("netmail/5.MSG");
  std::filesystem::create_symlink("/proc/self/mem", dir.File("netmail/6.MSG"));  // reads fail
  const auto before = Snapshot();
  ProgramHomeAt home(dir.path());
  Scan();
  EXPECT_EQ(Snapshot(), before);
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{
                "-- Scanning netmail....",
                "--   3.MSG -> joe@example.net",
                "--   " + dir.File(std::string(36, '?') + std::string(36, 'Z')) + " not found",
                "--   4.MSG -> joe@example.net",
                "--   Message text 190b",
            }));
  ASSERT_EQ(list.Count(), 1);
}

TEST_F(NetmailScanTest, FullListStopsTheAttachedFiles) {
  Redirect("2:236/100");
  for (int i = 0; i < kMaxSendEntries - 1; ++i) list.Add(SendEntry{});
  dir.Write("files/a.zip", "a");
  dir.Write("files/b.zip", "b");
  StoredMessage m = To(236, 100, fido::kAttrLocal | fido::kAttrFileAttached);
  m.subject = Upper("files/a.zip") + " " + Upper("files/b.zip");
  m.text.lines = {"Some text here"};
  Write("1.MSG", m);
  Scan();
  EXPECT_EQ(list.Count(), kMaxSendEntries);
  EXPECT_EQ(list.Entry(kMaxSendEntries).Path, dir.File("files/a.zip"));
  EXPECT_EQ(gross, 1);
}

}  // namespace
}  // namespace kestrel::outbound
