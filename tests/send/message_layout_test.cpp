// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/message_layout.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "fido/stored_message.h"
#include "mime/header_encoding.h"
#include "send/recording_sink.h"
#include "support/fido_files.h"
#include "support/temp_dir.h"

namespace kestrel::send {
namespace {

using Lines = std::vector<std::string>;

const MessageStamp kStamp = {"Tue, 01 Jul 2025 12:34:56 +0200", "<0123abcd@example.net>"};

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

  SendMessageHead(sink, boundary, Redirect(), configuration, kStamp);
  SendTemplateTextPart(sink, boundary,
                       ExpandSubjectTemplate("Fido $FILENAME$", "C:\\OUT\\A.ZIP", 3), header,
                       "C:\\OUT\\A.ZIP", 3);
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
      "Date: Tue, 01 Jul 2025 12:34:56 +0200",
      "Message-ID: <0123abcd@example.net>",
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
      {"", "FidoNet file A.ZIP"},
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
  SendMessageHead(sink, 1, redirect, configuration, kStamp);
  SendSubjectAndTextHead(sink, 1, std::string(300, 's'));
  EXPECT_FALSE(sink.over_long);
  EXPECT_EQ(sink.lines[7].size(), kMaxSendLine);
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

TEST(MessageLayout, AttachmentNamesReadBackWhole) {
  const struct {
    std::string name;
    Lines expected;
  } cases[] = {
      {"A.ZIP", {"Content-type: application/octet-stream; name=A.ZIP"}},
      {"MY FILE.ZIP", {"Content-type: application/octet-stream; name=\"MY FILE.ZIP\""}},
      {"J\xC3\xB6rg.zip",
       {"Content-type: application/octet-stream;", " name=\"=?UTF-8?B?SsO2cmcuemlw?=\"",
        "Content-transfer-encoding: BASE64", "Content-disposition: attachment;",
        " filename*=UTF-8''J%C3%B6rg.zip"}},
  };
  for (const auto& c : cases) {
    testing::RecordingSink sink;
    SendAttachmentHead(sink, 9, c.name);
    ASSERT_GE(sink.lines.size(), c.expected.size() + 2) << c.name;
    EXPECT_EQ(sink.lines.front(), "--Message-Boundary-9");
    EXPECT_EQ(Lines(sink.lines.begin() + 1, sink.lines.begin() + 1 + c.expected.size()), c.expected)
        << c.name;
    EXPECT_EQ(sink.lines.back(), "");
  }
  // A long name is cut into numbered sections, never inside an escape.
  std::string umlauts, escapes;
  for (int i = 0; i < 25; ++i) umlauts += "\xC3\xA4";
  for (int i = 0; i < 10; ++i) escapes += "%C3%A4";
  EXPECT_EQ(mime::ExtendedParameter("filename", umlauts),
            (std::vector<std::string>{"filename*0*=UTF-8''" + escapes + ";",
                                      "filename*1*=" + escapes + ";",
                                      "filename*2*=" + escapes.substr(0, 30)}));
}

TEST(MessageLayout, DateAndDerivedMessageId) {
  const char* old_tz = std::getenv("TZ");
  const std::string saved = old_tz ? old_tz : "";
  for (const auto& [zone, expected] : {std::pair{"UTC0", "Thu, 01 Jan 1970 00:00:00 +0000"},
                                       std::pair{"IST-5:30", "Thu, 01 Jan 1970 05:30:00 +0530"}}) {
    setenv("TZ", zone, 1);
    tzset();
    EXPECT_EQ(MailDate(0), expected) << zone;
  }
  old_tz ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();

  EXPECT_EQ(MessageIdDomain("gate@example.org", "host"), "example.org");
  EXPECT_EQ(MessageIdDomain("gate", "host.local"), "host.local");
  EXPECT_EQ(MessageIdDomain("gate@bad domain", ""), "localhost");

  testing::TempDir dir;
  const std::string file = dir.Write("out/a.pkt", "packet");
  const std::vector<std::string> fields = FileFields(dir.File("OUT/A.PKT"));
  const std::string id =
      DerivedMessageId("gate@example.org", {"b@x.org", "a@x.org"}, fields, "example.org");
  EXPECT_EQ(id.size(), 1 + 32 + 1 + 11 + 1u);
  EXPECT_EQ(id, DerivedMessageId("gate@example.org", {"a@x.org", "b@x.org"}, FileFields(file),
                                 "example.org"));
  EXPECT_NE(id, DerivedMessageId("gate@example.org", {"a@x.org"}, fields, "example.org"));
  dir.Write("out/a.pkt", "packet grown");
  EXPECT_NE(fields, FileFields(file));

  // A netmail is known by its name, header date and size; the sent flag
  // written after a confirmation does not make it another message.
  testing::StoredMessage stored;
  std::string bytes = testing::EncodeStoredMessage(stored);
  const std::string msg = dir.Write("1.msg", bytes);
  const std::vector<std::string> netmail = StoredMessageFields(msg);
  fido::RewriteStoredAttribute(bytes, fido::kAttrSent);
  dir.Write("1.msg", bytes);
  EXPECT_EQ(StoredMessageFields(msg), netmail);
  stored.date_time = "07 Dec 26  09:00:00";
  dir.Write("1.msg", testing::EncodeStoredMessage(stored));
  EXPECT_NE(StoredMessageFields(msg), netmail);
}

}  // namespace
}  // namespace kestrel::send
