// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/text_conversion.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "send/recording_sink.h"
#include "support/fido_files.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace kestrel::send {
namespace {

using Lines = std::vector<std::string>;
using core::Field;

Lines Cut(std::string_view text, bool utf8 = false) {
  testing::RecordingSink sink;
  SendTextLines(sink, text, TextEncoding::Ascii, utf8);
  return sink.lines;
}

std::string Repeat(std::string_view piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

constexpr std::string_view kPe = "\xD0\x9F";  // Cyrillic capital Pe in UTF-8

TEST(SendTextLines, CuttingKludgesAndControlCharacters) {
  const struct {
    std::string name;
    std::string text;
    Lines expected;
    bool utf8 = false;
  } cases[] = {
      {"plain lines", "one\rtwo\r", {"one", "two"}},
      {"text after the last CR is not sent", "one\rtwo", {"one"}},
      {"no CR at all", "nothing", {}},
      {"lone dot emptied, other dots kept", ".\r..\r.x\r", {"", "..", ".x"}},
      {"kludges left out", "\x01MSGID: 2:236/1 1\rHello\r\x01Via x\r", {"Hello"}},
      {"SEEN-BY and origin kept",
       "SEEN-BY: 236/1\r * Origin: here (2:236/1)\r",
       {"SEEN-BY: 236/1", " * Origin: here (2:236/1)"}},
      {"line feeds removed; a kludge behind one is not recognised",
       "a\r\n\x01KLUDGE\r\nb\r",
       {"a", "KLUDGE", "b"}},
      {"control characters removed, high bytes kept", "t\tab\x03\x7f\xe4\r", {"tab\x7f\xe4"}},
      {"250 characters: 120, 120, 10",
       std::string(250, 'x') + "\r",
       {std::string(120, 'x'), std::string(120, 'x'), std::string(10, 'x')}},
      {"exactly 120 characters: the line and an empty line",
       std::string(120, 'y') + "\r",
       {std::string(120, 'y'), ""}},
      {"119 characters fit", std::string(119, 'z') + "\r", {std::string(119, 'z')}},
      {"a kludge piece of a long line is only its first piece",
       "\x01" + std::string(150, 'k') + "\r",
       {std::string(31, 'k')}},
      {"UTF-8 text is cut at 120 characters, not bytes",
       Repeat(kPe, 130) + "\r",
       {Repeat(kPe, 120), Repeat(kPe, 10)},
       true},
  };
  for (const auto& c : cases) EXPECT_EQ(Cut(c.text, c.utf8), c.expected) << c.name;
}

TEST(SendTextLines, StopsWhenAborted) {
  testing::RecordingSink sink;
  sink.abort_after = 2;
  SendTextLines(sink, "a\rb\rc\rd\r");
  EXPECT_EQ(sink.lines, (Lines{"a", "b"}));
}

TEST(SendTextLines, LongTextWithoutLineEndsIsLinear) {
  // Pieces of a 20 MB line must not each search the whole rest for a CR.
  const std::string text = std::string(20 * 1024 * 1024, 'q') + "\r";
  testing::RecordingSink sink;
  SendTextLines(sink, text);
  EXPECT_EQ(sink.lines.size(), text.size() / kMaxTextPiece + 1);
}

std::string PacketBody(const std::vector<testing::PackedMessage>& messages) {
  return testing::EncodePacket(testing::PacketHeader{}, messages).substr(fido::kPacketHeaderSize);
}

testing::PackedMessage Packed(std::string subject, testing::MessageText text) {
  testing::PackedMessage message;
  message.subject = std::move(subject);
  message.text = std::move(text);
  return message;
}

TEST(ConvertPacketText, ThreeMessages) {
  const std::string body =
      PacketBody({Packed("First subject", {{"MSGID: 2:236/1 abc"}, {"Hello", "World"}}),
                  Packed("Second", {{}, {"Two"}}), Packed("Third", {{"INTL 2:1/1 2:1/2"}, {"3"}})});
  const PacketText converted = ConvertPacketText(body);
  EXPECT_EQ(converted.message_count, 3);
  EXPECT_EQ(converted.subject, "First subject");
  // Each message's text follows two empty lines (the previous message's end
  // is part of the start mark); the kludges are gone; the last message's end
  // and the packet's closing word give the last lines.
  EXPECT_EQ(Cut(converted.text),
            (Lines{"", "", "Hello", "World", "", "", "Two", "", "", "3", "", ""}));
}

TEST(ConvertPacketText, FirstSubjectEmptyAndNoMessages) {
  const PacketText empty_subject = ConvertPacketText(PacketBody({Packed("", {{}, {"x"}})}));
  EXPECT_EQ(empty_subject.subject, "");
  const PacketText none = ConvertPacketText(std::string(2, '\0'));
  EXPECT_EQ(none.message_count, 0);
  EXPECT_FALSE(none.subject);
  EXPECT_EQ(Cut(none.text), (Lines{"", ""}));
}

TEST(FidoCharsets, TextAndSubjectBecomeUtf8FromTheDeclaredCharset) {
  const struct {
    std::string name;
    std::string text;
    std::string expected;  // after the control line
    bool utf8 = true;
  } cases[] = {
      {"CHRS", "\001CHRS: CP866 2\r\x8F\xE0\xA8\r", "\xD0\x9F\xD1\x80\xD0\xB8\r"},
      {"none declared: FIDOCHARSET", "\x84\r", "\xC3\xA4\r"},
      {"CODEPAGE", "\001CODEPAGE: 866\r\x8F\r", "\xD0\x9F\r"},
      {"FidoNet alias", "\001chrs: LATIN-1 2\r\xE4\r", "\xC3\xA4\r"},
      {"a bad byte in UTF-8", "\001CHRS: UTF-8 4\r\xFF\r", "\xEF\xBF\xBD\r"},
      {"unknown charset: unconverted", "\001CHRS: NOSUCH 2\r\xE4\r", "\xE4\r", false},
  };
  for (const auto& c : cases) {
    const MailText mail = NetmailMailText(c.text, "\x8F", "CP437");
    EXPECT_EQ(mail.text.substr(mail.text.size() - c.expected.size()), c.expected) << c.name;
    EXPECT_EQ(mail.utf8, c.utf8) << c.name;
    EXPECT_EQ(mail.unknown_charset, c.utf8 ? "" : "NOSUCH") << c.name;
  }
  EXPECT_EQ(NetmailMailText("\001CHRS: CP866 2\r", "\x8F", "CP437").subject, kPe);

  // Each packed message in its own charset; the subject in the first one's.
  const PacketText packet = ConvertPacketText(
      PacketBody({Packed("\x8F", {{"CHRS: CP866 2"}, {"\x8F"}}), Packed("x", {{}, {"\x84"}}),
                  Packed("y", {{"CHRS: LATIN-1 2"}, {"\xE4"}})}));
  const MailText mail = PacketMailText(packet, "CP437");
  EXPECT_EQ(mail.subject, kPe);
  EXPECT_TRUE(mail.utf8);
  EXPECT_EQ(Cut(mail.text, true),
            (Lines{"", "", kPe.data(), "", "", "\xC3\xA4", "", "", "\xC3\xA4", "", ""}));
}

TEST(ConvertPacketText, LongSubjectIsCut) {
  const PacketText converted = ConvertPacketText(PacketBody({Packed(std::string(100, 's'), {})}));
  EXPECT_EQ(converted.subject, std::string(kMaxPacketSubject, 's'));
}

TEST(ConvertPacketText, HostileBodiesNeitherCrashNorHang) {
  std::mt19937 generator(42);
  const std::string valid = PacketBody({Packed("S", {{"K"}, {"T"}}), Packed("U", {{}, {"V"}})});
  for (std::size_t cut = 0; cut <= valid.size(); ++cut) {
    (void)ConvertPacketText(valid.substr(0, cut));
  }
  for (int round = 0; round < 300; ++round) {
    std::string bytes(generator() % 400, '\0');
    // Mostly the characters the conversion looks for.
    for (char& c : bytes) c = "\x00\x02\x03\r\x01a"[generator() % 6];
    const PacketText converted = ConvertPacketText(bytes);
    EXPECT_LE(converted.text.size(), bytes.size() + 3);
    (void)Cut(converted.text);
  }
  // A body without any zero byte.
  EXPECT_EQ(ConvertPacketText(std::string(1000, 'x')).message_count, 0);
}

struct TextFixture : ::testing::Test {
  testing::TempDir dir;
  testing::RecordingFrontEnd front_end;
  testing::RecordingSink sink;
  std::int64_t sent_total = 1000;
  TextSendContext context{sink, front_end,  dir.Write("HEADER.TXT", "-- via $FILENAME$\r\n"),
                          7,    sent_total, 4000};
};

TEST_F(TextFixture, NetmailAsText) {
  testing::StoredMessage message;
  message.subject = "Re: \ttest";
  message.text = {{"INTL 2:236/100 2:236/1", "MSGID: 2:236/1 1"}, {"Hi Joe,", ".", "Bye"}};
  const std::string bytes = testing::EncodeStoredMessage(message);
  const std::string path = dir.Write("netmail/0001.msg", bytes);
  const auto size = static_cast<std::int32_t>(bytes.size());

  ASSERT_TRUE(SendNetmailAsText(context, dir.path() + "/NETMAIL/0001.MSG", size));
  const Lines expected = {"Subject: Re: test",
                          "",
                          "",
                          "--Message-Boundary-7",
                          "Content-type: text/plain; charset=US-ASCII",
                          "Content-transfer-encoding: 7BIT",
                          "Content-description: Mail message body",
                          "",
                          "Hi Joe,",
                          "",
                          "Bye",
                          "",  // the closing zero byte and the added CR
                          "-- via 0001.MSG"};
  EXPECT_EQ(sink.lines, expected);
  EXPECT_EQ(sink.remarks, Lines{"-- Sending 0001.MSG as text email"});
  EXPECT_EQ(sent_total, 1000 + size);
  EXPECT_EQ(front_end.Field(Field::CurrentFilename), "0001.MSG");
  EXPECT_EQ(front_end.Field(Field::CurrentPercent), "100%");
  EXPECT_EQ(front_end.Field(Field::CurrentProgress), std::to_string(size));
  EXPECT_EQ(front_end.Field(Field::TotalProgress), std::to_string(1000 + size));
  EXPECT_EQ(front_end.Field(Field::TotalPercent), std::to_string((1000 + size) * 100 / 4000) + "%");
}

// A run past 2 GiB: the progress fields neither stop nor wrap at 32 bits.
TEST_F(TextFixture, ProgressPastTwoGibibytes) {
  sent_total = std::int64_t{3} << 30;
  context.total_bytes = std::int64_t{6} << 30;
  testing::StoredMessage message;
  message.text = {{}, {"Hi"}};
  ASSERT_TRUE(
      SendNetmailAsText(context, dir.Write("0002.MSG", testing::EncodeStoredMessage(message)), 50));
  EXPECT_EQ(sent_total, (std::int64_t{3} << 30) + 50);
  EXPECT_EQ(front_end.Field(Field::TotalProgress), "3221225522");
  EXPECT_EQ(front_end.Field(Field::TotalPercent), "50%");
}

TEST_F(TextFixture, UnknownCharsetIsSaidAndNeverLabelledUsAscii) {
  testing::StoredMessage message;
  message.text = {{"CHRS: NOSUCH 2"}, {"\xE4"}};
  dir.Write("0003.MSG", testing::EncodeStoredMessage(message));
  ASSERT_TRUE(SendNetmailAsText(context, dir.File("0003.MSG"), 200));
  EXPECT_EQ(sink.lines[4], "Content-type: text/plain; charset=unknown-8bit");
  EXPECT_EQ(sink.lines[5], "Content-transfer-encoding: quoted-printable");
  EXPECT_EQ(sink.lines[8], "=E4");
  EXPECT_EQ(sink.remarks.back(), "-- Unknown charset NOSUCH, text sent unconverted");
}

TEST_F(TextFixture, UnreadableFilesSendNothing) {
  dir.Write("short.msg", std::string(189, 'x'));
  dir.Write("short.pkt", std::string(57, 'x'));
  EXPECT_FALSE(SendNetmailAsText(context, dir.File("missing.msg"), 0));
  EXPECT_FALSE(SendNetmailAsText(context, dir.File("short.msg"), 189));
  EXPECT_FALSE(SendPacketAsText(context, dir.File("short.pkt"), 57));
  EXPECT_TRUE(sink.lines.empty());
  EXPECT_EQ(sent_total, 1000);
}

TEST_F(TextFixture, PacketAsText) {
  const std::string bytes = testing::EncodePacket(
      testing::PacketHeader{},
      {Packed("One", {{"MSGID: 1"}, {"a"}}), Packed("Two", {{}, {"b"}}), Packed("Three", {})});
  dir.Write("00EC0064.OUT", bytes);
  ASSERT_TRUE(
      SendPacketAsText(context, dir.File("00EC0064.OUT"), static_cast<std::int32_t>(bytes.size())));
  ASSERT_GT(sink.lines.size(), 8u);
  EXPECT_EQ(sink.lines[0], "Subject: One");
  EXPECT_EQ(std::count_if(sink.lines.begin(), sink.lines.end(),
                          [](const std::string& l) { return l.starts_with("Subject:"); }),
            1);
  EXPECT_EQ(Lines(sink.lines.begin() + 8, sink.lines.end()),
            (Lines{"", "", "a", "", "", "b", "", "", "", "", "-- via 00EC0064.OUT"}));
  EXPECT_EQ(sink.remarks, (Lines{"-- Sending 00EC0064.OUT as text email",
                                 "-- 3 message(s) in Pkt-file converted to text"}));
  EXPECT_EQ(front_end.Field(Field::CurrentFilename), "");
}

TEST_F(TextFixture, LargePacketIsConvertedWhole) {
  std::vector<testing::PackedMessage> messages;
  for (int i = 0; i < 40; ++i) {
    messages.push_back(Packed("S" + std::to_string(i), {{}, {std::string(2000, 'x')}}));
  }
  const std::string bytes = testing::EncodePacket(testing::PacketHeader{}, messages);
  ASSERT_GT(bytes.size(), 65535u);
  dir.Write("big.pkt", bytes);
  ASSERT_TRUE(
      SendPacketAsText(context, dir.File("big.pkt"), static_cast<std::int32_t>(bytes.size())));
  EXPECT_EQ(sink.remarks.back(), "-- 40 message(s) in Pkt-file converted to text");
}

}  // namespace
}  // namespace kestrel::send
