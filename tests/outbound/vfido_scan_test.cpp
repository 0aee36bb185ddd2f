// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/vfido_scan.h"

#include "outbound/list_file.h"
#include "outbound/scan_context.h"
#include "scan_fixture.h"

namespace kestrel::outbound {
namespace {

using testing::PackedMessage;
using testing::PacketHeader;
using testing::TextLines;

class VfidoScanTest : public ScanFixture {
 protected:
  VfidoScanTest() { configuration.VFIDO = Upper("vfido") + "\\"; }

  void Scan() {
    ScanContext context(configuration, list, logger);
    ScanVfido(context);
  }

  std::string Packet(std::uint16_t zone, std::uint16_t net, std::uint16_t node,
                     std::uint16_t attribute, std::uint16_t point = 0) {
    PacketHeader header;
    header.dest_zone = zone;
    header.dest_net = net;
    header.dest_node = node;
    header.dest_point = point;
    PackedMessage message;
    message.dest_net = net;
    message.dest_node = node;
    message.attribute = attribute;
    message.subject = attribute & fido::kAttrFileAttached ? "A.ZIP" : "Hello";
    message.text.lines = {"Hi there"};
    return testing::EncodePacket(header, {message});
  }
};

TEST_F(VfidoScanTest, ListedFilesThenPlainPackets) {
  Redirect("2:236/100");  // completed to 2:236/100.0, matching the packets' text
  dir.Write("c:/files/a.zip", std::string(70, 'a'));
  dir.Write("vfido/00000001.PKT", Packet(2, 236, 100, fido::kAttrFileAttached));
  dir.Write("vfido/00000001.LST", TextLines({"^c:\\files\\a.zip"}));
  const std::string plain = Packet(2, 236, 100, fido::kAttrPrivate);
  dir.Write("vfido/00000002.PKT", plain);
  ProgramHomeAt home(dir.path());
  Scan();
  const std::string redirect = "-- Redirect 2:236/100.0 -> joe@example.net (Joe Sysop)";
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{
                "-- Scanning VFIDO netmail....",
                redirect,
                "--   " + dir.File("c:/files/a.zip") + " 70b (Delete after)",
                redirect,
                "--   " + dir.File("vfido/00000002.PKT") + " " + std::to_string(plain.size()) + "b",
            }));
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Entry(1).Kind, SendKind::ListedFile);
  EXPECT_EQ(list.Entry(1).Path, dir.File("c:/files/a.zip"));
  EXPECT_EQ(list.Entry(1).ListPath, dir.File("vfido/00000001.LST"));
  EXPECT_EQ(list.Entry(1).AfterSend, AfterSendAction::Delete);
  EXPECT_EQ(list.Entry(2).Kind, SendKind::OutboundPacket);
  EXPECT_EQ(list.Entry(2).Path, dir.File("vfido/00000002.PKT"));
  EXPECT_EQ(list.Entry(2).AfterSend, AfterSendAction::Delete);
}

TEST_F(VfidoScanTest, LowerCaseNamesAndRedirectLinePerListLine) {
  Redirect("1:236/100", "one@example.net");
  Redirect("2:236/100.3", "point@example.net");
  dir.Write("files/a", "a");
  dir.Write("vfido/0000000a.pkt", Packet(2, 236, 100, fido::kAttrFileAttached, 3));
  dir.Write("vfido/0000000a.lst", TextLines({dir.File("files/a"), "", "#" + dir.File("files/b"),
                                             dir.File("files/") + std::string(100, 'c')},
                                            "\n"));
  dir.Write("vfido/0000000b.pkt", Packet(2, 236, 100, 0));  // 2:236/100.0 is not redirected
  Scan();
  const std::string redirect = "-- Redirect 2:236/100.3 -> point@example.net (Joe Sysop)";
  const std::string cut = dir.File("files/" + std::string(100, 'c')).substr(0, kMaxVfidoLine);
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "-- Scanning VFIDO netmail....",
                         redirect,
                         "--   " + dir.File("files/a") + " 1b",
                         redirect,
                         "-- Could not find " + dir.File("files/b"),
                         redirect,
                         "-- Could not find " + cut,
                     }));
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Entry(1).RedirectIndex, 2);
  EXPECT_EQ(list.Entry(1).ListPath, dir.File("vfido/0000000a.lst"));
}

TEST_F(VfidoScanTest, ShortEmptyAndOrphanFilesAreSkippedAndLeftAlone) {
  Redirect("2:236/100");
  dir.Write("files/a", "a");
  const std::string list_text = TextLines({dir.File("files/a")});
  const std::string packet = Packet(2, 236, 100, 0);
  dir.Write("vfido/00000001.PKT", packet.substr(0, 57));  // short header
  dir.Write("vfido/00000001.LST", list_text);
  dir.Write("vfido/00000002.PKT", packet.substr(0, 91));  // header, short message
  dir.Write("vfido/00000003.PKT", "");
  dir.Write("vfido/00000003.LST", list_text);
  dir.Write("vfido/00000004.LST", list_text);  // no packet
  std::string garbage(300, '\0');
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 53);
  dir.Write("vfido/00000005.PKT", garbage);
  // A list of binary garbage beside a good file-attach packet.
  dir.Write("vfido/00000006.PKT", Packet(2, 236, 100, fido::kAttrFileAttached));
  dir.Write("vfido/00000006.LST", garbage);
  const auto before = Snapshot();
  Scan();
  EXPECT_EQ(Snapshot(), before);
  const std::vector<std::string> lines = Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1], "-- Redirect 2:236/100.0 -> joe@example.net (Joe Sysop)");
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_TRUE(lines[i].rfind("-- Redirect ", 0) == 0 ||
                lines[i].rfind("-- Could not find ", 0) == 0)
        << lines[i];
    for (char c : lines[i]) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << lines[i];
  }
  EXPECT_EQ(list.Count(), 0);
}

TEST_F(VfidoScanTest, MissingDirectoryOncePerPass) {
  configuration.DISABLECHECK = true;
  configuration.VFIDO = Upper("nowhere") + "\\";
  Scan();
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{"-- Scanning VFIDO netmail....", "-- Directory not found",
                                      "-- Directory not found"}));
}

}  // namespace
}  // namespace kestrel::outbound
