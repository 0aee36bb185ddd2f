// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/message_layout.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "send/recording_sink.h"
#include "support/temp_dir.h"

namespace kestrel::send {
namespace {

using Lines = std::vector<std::string>;

config::RedirectEntry Redirect() {
  config::RedirectEntry redirect;
  redirect.Address = "2:236/100.0";
  redirect.EmailAddress = "joe@example.org";
  redirect.Name = "Joe Sysop";
  return redirect;
}

TEST(MessageLayout, WholeMessageWithAttachmentLineByLine) {
  testing::TempDir dir;
  const std::string header =
      dir.Write("HEADER.TXT", "File $filename$ ($FILESIZE$ bytes)\r\n.\r\nKestrel $Version$\r\n");
  config::Configuration configuration;
  configuration.FROM = "Gate Keeper";
  configuration.FROMEMAIL = "gate@example.net";
  testing::RecordingSink sink;
  const int boundary = 4711;

  SendMessageHead(sink, boundary, Redirect(), configuration);
  SendSubjectAndTextHead(sink, boundary,
                         ExpandSubjectTemplate("Fido $FILENAME$", "C:\\OUT\\A.ZIP", 3));
  SendHeaderTemplate(sink, header, "C:\\OUT\\A.ZIP", 3);
  SendAttachmentHead(sink, boundary, "A.ZIP");
  sink.SendLine("QUJD");
  sink.SendLine("");
  SendClosing(sink, boundary);

  const Lines expected = {
      "X-Mailer: Kestrel 2.00 (32)",
      "Mime-Version: 1.0",
      "Content-type: Multipart/Mixed; boundary=Message-Boundary-4711",
      "To: Joe Sysop <joe@example.org>",
      "From: Gate Keeper <gate@example.net>",
      "Subject: Fido A.ZIP",
      "",
      "",
      "--Message-Boundary-4711",
      "Content-type: text/plain; charset=US-ASCII",
      "Content-transfer-encoding: 7BIT",
      "Content-description: Mail message body",
      "",
      "File A.ZIP (3 bytes)",
      "",
      "Kestrel 2.00",
      "--Message-Boundary-4711",
      "Content-type: application/octet-stream; name=A.ZIP",
      "Content-transfer-encoding: BASE64",
      "",
      "QUJD",
      "",
      "--Message-Boundary-4711--",
      "",
      "",
      ".",
  };
  EXPECT_EQ(sink.lines, expected);
  EXPECT_TRUE(sink.remarks.empty());
}

TEST(MessageLayout, SubjectTemplate) {
  const struct {
    std::string subject_template;
    std::string expected;
  } cases[] = {
      {"", ""},
      {"no placeholders", "no placeholders"},
      {"Mail: $filename$ has $FILESIZE$ bytes!", "Mail: A.ZIP has 1234 bytes!"},
      {"$FileSize$ before $FILENAME$", "1234 before A.ZIP"},
      {"$FILENAME$ and $FILENAME$", "A.ZIP and $FILENAME$"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExpandSubjectTemplate(c.subject_template, "c:\\files/A.ZIP", 1234), c.expected)
        << c.subject_template;
  }
}

TEST(MessageLayout, HeaderTemplateLines) {
  testing::TempDir dir;
  const std::string long_line(300, 'x');
  const std::string header =
      dir.Write("HEADER.TXT", "a\tb\x01 c\n$VERSION$ and $VERSION$\n.\n..\n" + long_line + "\n" +
                                  std::string(250, 'y') + "$FILENAME$\n" + std::string(245, 'z') +
                                  "$FILENAME$\nlast line without end");
  testing::RecordingSink sink;
  SendHeaderTemplate(sink, header, "DIR\\NAME.PKT", 99);
  const Lines expected = {
      "ab c",
      "2.00 and $VERSION$",
      "",
      // Only a lone "." is emptied; the SMTP dialogue makes other dot lines transparent.
      "..",
      std::string(kMaxSendLine, 'x'),
      std::string(250, 'y') + "$FI",  // read at 255, then cut for the sink
      std::string(245, 'z') + "NAME.PKT",
      "last line without end",
  };
  EXPECT_EQ(sink.lines, expected);
  EXPECT_FALSE(sink.over_long);
}

TEST(MessageLayout, MissingHeaderTemplateIsLoggedAndSendsNothing) {
  testing::TempDir dir;
  testing::RecordingSink sink;
  SendHeaderTemplate(sink, dir.File("HEADER.TXT"), "A.ZIP", 1);
  EXPECT_TRUE(sink.lines.empty());
  EXPECT_EQ(sink.remarks, Lines{"-- No header file defined"});
}

TEST(MessageLayout, HeaderTemplateFoundRegardlessOfCase) {
  testing::TempDir dir;
  dir.Write("header.txt", "hello\n");
  testing::RecordingSink sink;
  SendHeaderTemplate(sink, dir.path() + "/HEADER.TXT", "A.ZIP", 1);
  EXPECT_EQ(sink.lines, Lines{"hello"});
}

TEST(MessageLayout, OverLongHeadLinesAreCutForTheSink) {
  config::Configuration configuration;
  configuration.FROM = std::string(79, 'f');
  configuration.FROMEMAIL = std::string(128, 'e');
  config::RedirectEntry redirect = Redirect();
  redirect.Name = std::string(79, 'n');
  redirect.EmailAddress = std::string(128, 'm');
  testing::RecordingSink sink;
  SendMessageHead(sink, 1, redirect, configuration);
  SendSubjectAndTextHead(sink, 1, std::string(300, 's'));
  EXPECT_FALSE(sink.over_long);
  EXPECT_EQ(sink.lines[5].size(), kMaxSendLine);
}

TEST(MessageLayout, RandomNamesAndBoundaries) {
  std::set<std::string> names;
  std::set<int> boundaries;
  for (int i = 0; i < 200; ++i) {
    const std::string name = RandomPacketName();
    ASSERT_EQ(name.size(), 12u);
    EXPECT_EQ(name.substr(8), ".PKT");
    EXPECT_EQ(name.find_first_not_of("0123456789ABCDEF"), 8u) << name;
    names.insert(name);
    const int boundary = DrawBoundaryNumber();
    EXPECT_GE(boundary, 0);
    EXPECT_LT(boundary, kBoundaryRange);
    boundaries.insert(boundary);
  }
  // Drawn in quick succession they still differ.
  EXPECT_GT(names.size(), 195u);
  EXPECT_GT(boundaries.size(), 150u);
}

TEST(MessageLayout, RemoveCharsAndDotStuffing) {
  EXPECT_EQ(RemoveChars(std::string("a\tb\r\n\x1f\x7f\xe4 c\0d", 12), CharSet::Control),
            "ab\x7f\xe4 cd");
  EXPECT_EQ(RemoveChars(" a b\t", CharSet::Blank), "ab\t");
  EXPECT_EQ(DotStuffed("."), "..");
  EXPECT_EQ(DotStuffed(".hidden"), "..hidden");
  EXPECT_EQ(DotStuffed("a."), "a.");
  EXPECT_EQ(DotStuffed(""), "");
}

}  // namespace
}  // namespace kestrel::send
