// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/intake/attachment_decoder.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <set>

#include "core/log.h"
#include "core/side.h"
#include "platform/program_home.h"
#include "receive/intake/attachment_names.h"
#include "receive/mime_samples.h"
#include "support/fake_clock.h"
#include "support/mail_shapes.h"
#include "support/program_home_at.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace kestrel::receive {
namespace {

using core::Side;
using testing::SampleMessage;

class AttachmentDecoderTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  testing::RecordingFrontEnd front_end;
  testing::FakeClock clock{{2026, 12, 6, 8, 5, 0, 0}};
  core::Logger logger{front_end, dir.path()};
  std::string inbound = dir.MakeDir("IN") + "/";
  MessageOutcome outcome;
  AttachmentDecoder decoder{
      front_end, [this](std::string_view line) { logger.LogLine(Side::Receiving, line); }, inbound};

  // Runs the lines through the decoder with a saved text; the saved text.
  std::string Scan(const std::vector<std::string>& lines, bool complete = true,
                   bool* deletable = nullptr) {
    platform::UniqueFile saved = platform::OpenFile(dir.File("SAVED.TXT"), "wb");
    decoder.StartMessage(saved.get());
    for (const auto& line : lines) decoder.ScanBodyLine(line);
    outcome = decoder.EndOfMessage(complete);
    if (deletable) *deletable = outcome.whole;
    saved.reset();
    return dir.Read("SAVED.TXT");
  }

  // The digest of the lines in VerifyOnly mode, under a stem of its own.
  std::string VerifiedDigest(const std::vector<std::string>& lines) {
    decoder.StartMessage(nullptr, "verify", {}, DecodeMode::VerifyOnly);
    for (const auto& line : lines) decoder.ScanBodyLine(line);
    return decoder.EndOfMessage(true).content_digest;
  }

  // A line of the last message's report.
  bool Reported(const std::string& line) const {
    return std::find(outcome.report.begin(), outcome.report.end(), line) != outcome.report.end();
  }

  std::vector<std::string> InboundNames() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(inbound)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  bool Logged(const std::string& line) const { return front_end.HasLine(Side::Receiving, line); }
};

TEST_F(AttachmentDecoderTest, SenderMessageArrivesWholeAndIsSavedButOneLine) {
  SampleMessage message;
  message.content = testing::RandomBytes(10000, 7);
  const auto lines = testing::SenderMessageLines(message);
  bool deletable = false;
  const std::string saved = Scan(lines, true, &deletable);

  EXPECT_TRUE(deletable);
  EXPECT_EQ(dir.Read("IN/FILE.ZIP"), message.content);
  EXPECT_TRUE(Logged("-- Decoding FILE.ZIP"));
  EXPECT_TRUE(Logged("-- File decoded"));
  EXPECT_FALSE(front_end.HasLineStartingWith(Side::Receiving, "-- Speed was"));
  EXPECT_EQ(front_end.Field(core::Field::GetFilename), "FILE.ZIP");
  EXPECT_EQ(front_end.Field(core::Field::GetByteProgress), "10000");
  // Every line but the empty one that ends the attachment's part headers.
  auto expected = lines;
  const auto blank =
      std::find(expected.begin(), expected.end(), "Content-transfer-encoding: BASE64");
  expected.erase(blank + 1);
  EXPECT_EQ(saved, testing::JoinCrLf(expected));
}

TEST_F(AttachmentDecoderTest, ExistingNamesAreKeptAndTheNextVariantUsed) {
  dir.Write("IN/FILE.ZIP", "first");
  dir.Write("IN/FILE_1.ZIP", "second");
  SampleMessage message;
  message.content = "third";
  Scan(testing::SenderMessageLines(message));
  EXPECT_TRUE(Logged("-- File already existed, renaming to FILE_2.ZIP"));
  EXPECT_EQ(dir.Read("IN/FILE.ZIP"), "first");
  EXPECT_EQ(dir.Read("IN/FILE_1.ZIP"), "second");
  EXPECT_EQ(dir.Read("IN/FILE_2.ZIP"), "third");
  EXPECT_EQ(front_end.Field(core::Field::GetFilename), "FILE_2.ZIP");
}

// A file keeps the name its sender gave it, or is named in upper case with
// UPPERCASENAMES; an existing file of that name in another case still
// counts as taken.
TEST_F(AttachmentDecoderTest, NamesKeepTheirCaseUnlessUpperCaseIsAsked) {
  struct Case {
    bool upper_case;
    std::string existing;  // in the inbound before, "" for none
    std::string arrives_as;
  };
  const std::vector<Case> cases = {
      {false, "", "nodelist.z49"},
      {true, "", "NODELIST.Z49"},
      {false, "NodeList.Z49", "nodelist_1.z49"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(inbound);
    std::filesystem::create_directory(inbound);
    if (!c.existing.empty()) dir.Write("IN/" + c.existing, "before");
    decoder.UpperCaseNames(c.upper_case);
    SampleMessage message;
    message.name = "nodelist.z49";
    message.content = "nodelist";
    Scan(testing::SenderMessageLines(message));
    EXPECT_EQ(dir.Read("IN/" + c.arrives_as), "nodelist") << c.arrives_as;
  }
}

// Without INBOUND the inbound is the home: no attachment takes the name of
// one of the home's files, whether that file exists yet or not.
TEST_F(AttachmentDecoderTest, TheHomesOwnFilesAreNeverAttachmentNames) {
  platform::SetProgramPath("kestrel");
  testing::ProgramHomeAt home(inbound);
  dir.Write("IN/KESTREL.JNL", "journal");
  dir.Write("IN/HIGHEST.DAT", "7");
  const struct {
    std::string name, free;
  } cases[] = {
      {"KESTREL.JNL", "KESTREL_1.JNL"},
      {"header.txt", "header_1.txt"},
      {"kestrel.flt", "kestrel_1.flt"},
      {"HIGHEST.DAT", "HIGHEST_1.DAT"},
      {"KESTREL.SIZ", "KESTREL_1.SIZ"},
      {"00000001.TXT", "0000000A.TXT"},
      {"x.kestrel-partial", "x.kestrel-partial_1"},
      {".A.PKT.kestrel-partial", ".A.PKT.kestrel-partial_1"},
  };
  for (const auto& c : cases) {
    SampleMessage message;
    message.name = c.name;
    message.content = "from the mail";
    Scan(testing::SenderMessageLines(message));
    EXPECT_TRUE(outcome.whole) << c.name;
    EXPECT_EQ(outcome.files, std::vector<std::string>{c.free});
    EXPECT_EQ(dir.Read("IN/" + c.free), "from the mail");
    EXPECT_TRUE(Logged("-- File already existed, renaming to " + c.free));
  }
  EXPECT_EQ(dir.Read("IN/KESTREL.JNL"), "journal");
  EXPECT_EQ(dir.Read("IN/HIGHEST.DAT"), "7");
  EXPECT_EQ(InboundNames().size(), 2 + std::size(cases));
  // Every variant of a token file's name would be read as one: the message stays.
  SampleMessage token;
  token.name = "oauth-imap-fido.token";
  token.content = "refresh";
  Scan(testing::SenderMessageLines(token));
  EXPECT_FALSE(outcome.whole);
  EXPECT_EQ(InboundNames().size(), 2 + std::size(cases));
}

TEST_F(AttachmentDecoderTest, SpeedIsLoggedOnlyAfterMoreThanTwoSeconds) {
  SampleMessage message;
  message.content = testing::RandomBytes(57 * 100, 8);
  auto lines = testing::SenderMessageLines(message);
  platform::UniqueFile saved = platform::OpenFile(dir.File("SAVED.TXT"), "wb");
  decoder.StartMessage(saved.get());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    decoder.ScanBodyLine(lines[i]);
    if (i == 30) clock.AdvanceHundredths(400);  // inside the BASE64 lines
  }
  EXPECT_TRUE(decoder.EndOfMessage(true).whole);
  EXPECT_TRUE(Logged("-- Speed was 1425 characters per second (CPS)"));
  EXPECT_EQ(front_end.Field(core::Field::GetCPS), "");
}

// Software watching the inbound never sees half a file under its name.
TEST_F(AttachmentDecoderTest, TheFileAppearsUnderItsNameOnlyWhenComplete) {
  SampleMessage message;
  message.content = testing::RandomBytes(5000, 14);
  const auto lines = testing::SenderMessageLines(message);
  decoder.StartMessage(nullptr);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == "--" + message.boundary + "--") {
      EXPECT_EQ(InboundNames(), std::vector<std::string>{".FILE.ZIP.kestrel-partial"});
    }
    decoder.ScanBodyLine(lines[i]);
  }
  EXPECT_TRUE(decoder.EndOfMessage(true).whole);
  EXPECT_EQ(InboundNames(), std::vector<std::string>{"FILE.ZIP"});
}

TEST_F(AttachmentDecoderTest, DataEndingInsideTheAttachmentLeavesNoFile) {
  SampleMessage message;
  message.content = testing::RandomBytes(5000, 9);
  auto lines = testing::SenderMessageLines(message);
  lines.resize(lines.size() - 30);  // the "." came amid the BASE64 lines
  for (bool complete : {true, false}) {
    bool deletable = true;
    Scan(lines, complete, &deletable);
    EXPECT_FALSE(deletable);
    EXPECT_TRUE(InboundNames().empty());
    EXPECT_TRUE(Reported(complete ? "-- Part 2 (FILE.ZIP): the message ends inside it"
                                  : "-- Attachment FILE.ZIP incomplete, removed"));
  }
}

// Malformed structure never leaves a file behind and never writes outside;
// a file part that cannot be saved whole keeps the message on the server.
TEST_F(AttachmentDecoderTest, MalformedMessagesEndCleanly) {
  const std::vector<std::string> file_part = {"Content-type: x; name=X.ZIP",
                                              "Content-transfer-encoding: base64", "", "QUJD"};
  const struct {
    std::vector<std::string> lines;
    bool deletable;
    std::string reason = {};
  } messages[] = {
      {{"Subject: no boundary", "", "Content-type: application/octet-stream; name=X.ZIP", "QUJD"},
       true},
      {{"Content-type: multipart/mixed; boundary=B1", "", "--B1",
        "Content-type: application/octet-stream; name=X.ZIP", "Content-transfer-encoding: base64"},
       false},
      {{"Content-type: multipart/mixed; boundary=\"\"", "--", "Content-type: x; name=X.ZIP", "",
        "QUJD"},
       false},
      {{"Content-type: multipart/mixed; boundary=B", "", "--B", "Content-type: x; name=X.ZIP",
        "Content-transfer-encoding: x-gzip64", "", "QUJD", "--B--"},
       false,
       "-- Part 1 (X.ZIP): unknown transfer encoding x-gzip64"},
      // Structure that cannot be read: the parts, and their files, are unknown.
      {{"+OK 1 200", "From: x@example.org", "", "Hi"},
       false,
       "-- The message data begins with no head: \"+OK 1 200\""},
      {{"", "Content-type: multipart/mixed; boundary=B", "", "--B", "Content-type: x; name=X.ZIP"},
       false,
       "-- The message data begins with no head: \"\""},
      {{"Content-type: multipart/mixed; boundary=B", "", "--C", file_part[0], file_part[1], "",
        "QUJD", "--C--"},
       false,
       "-- Part 1: its boundary B never occurs, its parts unknown"},
      {{"Content-type: multipart/mixed; boundary=B", "", "--B",
        "Content-type: multipart/mixed; "
        "boundary=C",
        "", "--D", file_part[0], "", "QUJD", "--B--"},
       false,
       "-- Part 1: its boundary C never occurs, its parts unknown"},
      {{"Content-type: multipart/mixed; boundary=B", "", "--B", file_part[0], file_part[1], "",
        "!!!! ****", "--B--"},
       false,
       "-- Part 1 (X.ZIP): its data decodes to nothing"},
      // An empty file sends no data at all: it arrives empty.
      {{"Content-type: multipart/mixed; boundary=B", "", "--B", file_part[0], file_part[1], "", "",
        "--B--"},
       true},
  };
  for (const auto& m : messages) {
    bool deletable = !m.deletable;
    Scan(m.lines, true, &deletable);
    EXPECT_EQ(deletable, m.deletable) << m.lines.back();
    if (!m.reason.empty()) {
      EXPECT_TRUE(Reported(m.reason)) << m.reason;
    }
    if (!m.deletable) {
      EXPECT_TRUE(InboundNames().empty());
    }
    for (const auto& name : InboundNames()) std::filesystem::remove(inbound + name);
  }
}

TEST_F(AttachmentDecoderTest, QuotedAndFoldedBoundariesAreFound) {
  const std::vector<std::string> heads[] = {
      {"Content-Type: multipart/mixed; boundary=\"b0 x\""},
      {"Content-Type: multipart/mixed;", "\tboundary=\"b0 x\""},
      {"Content-Type: multipart/mixed;", " charset=x;", " boundary=\"b0 x\"; other=1"},
  };
  int n = 0;
  for (const auto& head : heads) {
    std::vector<std::string> lines = head;
    const std::string name = "F" + std::to_string(++n) + ".PKT";
    const std::vector<std::string> rest = {
        "Subject: x",
        "",
        "--b0 x",
        "Content-Type: application/octet-stream; name=\"" + name + "\"",
        "Content-Transfer-Encoding: base64",
        "",
        "QUJD",
        "--b0 x--"};
    lines.insert(lines.end(), rest.begin(), rest.end());
    Scan(lines);
    EXPECT_EQ(dir.Read("IN/" + name), "ABC") << name;
  }
}

// Mainstream clients: folded headers in their own order, filename in quotes,
// further header fields, several attachments directly after each other.
TEST_F(AttachmentDecoderTest, MainstreamClientLayoutsDecode) {
  const std::string a = testing::RandomBytes(300, 10), b = testing::RandomBytes(301, 11);
  std::vector<std::string> lines = {
      "Content-Type: multipart/mixed;",
      " boundary=\"------------0A1B2C\"",
      "",
      "This is a multi-part message in MIME format.",
      "--------------0A1B2C",
      "Content-Type: text/plain; charset=UTF-8; format=flowed",
      "Content-Transfer-Encoding: 7bit",
      "",
      "Hello",
      "",
      "--------------0A1B2C",
      "Content-Type: application/zip;",
      " name=\"ARCHIVE.ZIP\"",
      "Content-Disposition: attachment;",
      "\tfilename=\"ARCHIVE.ZIP\"",
      "Content-Transfer-Encoding: base64",
      "X-Attachment-Id: f_123",
      "",
  };
  for (auto& line : testing::Base64Lines(a)) lines.push_back(line);
  lines.push_back("--------------0A1B2C");
  lines.push_back("Content-Disposition: attachment; filename=\"SECOND.PKT\"");
  lines.push_back("Content-Transfer-Encoding: base64");
  lines.push_back("");
  for (auto& line : testing::Base64Lines(b)) lines.push_back(line);
  lines.push_back("--------------0A1B2C--");
  Scan(lines);
  EXPECT_EQ(dir.Read("IN/ARCHIVE.ZIP"), a);
  EXPECT_EQ(dir.Read("IN/SECOND.PKT"), b);
}

// The CR LF before a delimiter belongs to it; a file part without a name
// gets one made up, and the report says so.
TEST_F(AttachmentDecoderTest, TextPartsKeepTheirLineEndsAndNamelessFilesGetAName) {
  Scan({"Content-type: multipart/mixed; boundary=XB", "", "--XB",
        "Content-type: text/plain; name=NOTE.TXT", "", "line one", "", "line three", "--XB",
        "Content-type: application/octet-stream", "Content-transfer-encoding: base64", "", "QUJD",
        "--XB--"});
  EXPECT_EQ(dir.Read("IN/NOTE.TXT"), "line one\r\n\r\nline three");
  EXPECT_EQ(dir.Read("IN/message-2.bin"), "ABC");
  EXPECT_TRUE(Reported("-- Part 2 has no name, saved as message-2.bin"));
  EXPECT_EQ(InboundNames(), (std::vector<std::string>{"NOTE.TXT", "message-2.bin"}));
}

TEST_F(AttachmentDecoderTest, HostileNamesStayInsideTheInbound) {
  const std::string names[] = {
      "../../ESCAPE.PKT",
      "/tmp/ESCAPE2.PKT",
      "..",
      "C:\\..\\..",
      std::string("N\0UL.PKT", 8),
      "CTRL\x1b[2J.PKT",
      std::string(300, 'L'),
      "",
      "sub/dir/DEEP.PKT",
  };
  for (const auto& name : names) {
    Scan({"Content-type: multipart/mixed; boundary=HB", "--HB",
          "Content-type: application/octet-stream; name=\"" + name + "\"",
          "Content-transfer-encoding: base64", "", "QUJD", "--HB--"});
    if (name == "..") {
      EXPECT_TRUE(Reported("-- Part 1 (..): no usable file name can be made of it"));
    }
  }
  const auto inside = InboundNames();
  EXPECT_EQ(inside.size(), 7u) << ::testing::PrintToString(inside);
  for (const auto& name : inside) {
    EXPECT_EQ(name.find('/'), std::string::npos);
    EXPECT_LE(name.size(), kMaxNameBytes);
    EXPECT_EQ(dir.Read("IN/" + name), "ABC") << name;
  }
  EXPECT_TRUE(dir.Exists("IN/ESCAPE.PKT"));
  EXPECT_TRUE(dir.Exists("IN/DEEP.PKT"));
  EXPECT_TRUE(dir.Exists("IN/N_UL.PKT"));
  EXPECT_TRUE(dir.Exists("IN/message-1.bin"));  // the empty name
  EXPECT_FALSE(std::filesystem::exists("/tmp/ESCAPE2.PKT.x"));
  // Nothing appeared beside the inbound.
  std::size_t beside = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path()))
    ++beside;
  EXPECT_EQ(beside, 2u);  // IN and SAVED.TXT
}

// A boundary that happens to occur inside the data does not end it.
TEST_F(AttachmentDecoderTest, OnlyADelimiterLineEndsTheAttachment) {
  Scan({"Content-type: multipart/mixed; boundary=QUJD", "--QUJD",
        "Content-type: text/plain; name=QUOTE.TXT", "", "QUJD QUJD", "x--QUJD", "--QUJD--"});
  EXPECT_EQ(dir.Read("IN/QUOTE.TXT"), "QUJD QUJD\r\nx--QUJD");
  Scan({"Content-type: multipart/mixed; boundary=QUJD", "--QUJD", "Content-type: x; name=B.BIN",
        "Content-transfer-encoding: base64", "", "QUJDQUJD", "--QUJD--"});
  EXPECT_EQ(dir.Read("IN/B.BIN"), "ABCABC");
}

TEST_F(AttachmentDecoderTest, LongLinesArriveInPiecesAndStayWhole) {
  const std::string content = testing::RandomBytes(3000, 12);
  const std::string one_line = testing::EncodeBase64(content);
  const std::vector<std::string> head = {"Content-type: multipart/mixed; boundary=LB", "--LB",
                                         "Content-type: x; name=LONG.BIN",
                                         "Content-transfer-encoding: base64", ""};
  platform::UniqueFile saved = platform::OpenFile(dir.File("SAVED.TXT"), "wb");
  decoder.StartMessage(saved.get());
  for (const auto& line : head) decoder.ScanBodyLine(line);
  for (std::size_t at = 0; at < one_line.size(); at += 255) {
    const bool last = at + 255 >= one_line.size();
    decoder.ScanBodyLine(std::string_view(one_line).substr(at, 255), last);
  }
  decoder.ScanBodyLine("--LB--");
  EXPECT_TRUE(decoder.EndOfMessage(true).whole);
  saved.reset();
  EXPECT_EQ(dir.Read("IN/LONG.BIN"), content);
  EXPECT_NE(dir.Read("SAVED.TXT").find("\r\n" + one_line + "\r\n--LB--\r\n"), std::string::npos);
}

// Disk full: the message must stay on the server, and nothing half-written
// (nor anything it completed) stays in the inbound.
TEST_F(AttachmentDecoderTest, WriteErrorsKeepTheMessageOnTheServer) {
  SampleMessage message;
  message.content = testing::RandomBytes(300000, 13);
  const auto lines = testing::SenderMessageLines(message);

  {  // the attachment cannot be written whole
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 100000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool deletable = true;
    decoder.StartMessage(nullptr);
    for (const auto& line : lines) decoder.ScanBodyLine(line);
    outcome = decoder.EndOfMessage(true);
    deletable = outcome.whole;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
    EXPECT_FALSE(deletable);
    EXPECT_TRUE(InboundNames().empty());
    EXPECT_TRUE(Reported("-- Part 2 (FILE.ZIP): could not be written (File too large)"));
    EXPECT_TRUE(outcome.every_message);
  }
  {  // the saved text cannot be written: the decoded file is taken back
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    decoder.StartMessage(full, "message", "/dev/full");
    for (const auto& line : lines) decoder.ScanBodyLine(line);
    outcome = decoder.EndOfMessage(true);
    EXPECT_FALSE(outcome.whole);
    std::fclose(full);
    EXPECT_TRUE(InboundNames().empty());
    EXPECT_TRUE(
        Reported("-- Could not write to SaveEmail directory (/dev/full: No space left on device)"));
    EXPECT_TRUE(Reported("-- Removed FILE.ZIP, the message stays on the server"));
  }
  {  // the inbound cannot take the file at all
    std::filesystem::remove_all(inbound);
    decoder.StartMessage(nullptr);
    for (const auto& line : lines) decoder.ScanBodyLine(line);
    outcome = decoder.EndOfMessage(true);
    EXPECT_FALSE(outcome.whole);
    EXPECT_TRUE(outcome.every_message);
    EXPECT_TRUE(Reported("-- Part 2 (FILE.ZIP): could not be created (No such file or directory)"));
  }
}

// A bounce returns what went out from here: nothing of it is decoded, and
// what it says about each recipient is read. A "begin" line in prose is text.
TEST_F(AttachmentDecoderTest, BouncesAndProseBeginLinesAreTakenWithoutAFile) {
  std::string error;
  const auto shapes = testing::MakeMailShapes(dir.path(), {"bounces"}, error);
  ASSERT_TRUE(shapes) << error;
  ASSERT_EQ(shapes->mails.size(), 2u);
  std::vector<std::optional<mime::DeliveryReport>> reports;
  for (const auto& mail : shapes->mails) {
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = mail.content.find("\r\n", at)) != std::string::npos;
         at = end + 2) {
      lines.push_back(mail.content.substr(at, end - at));
    }
    Scan(lines);
    EXPECT_TRUE(outcome.whole);
    EXPECT_TRUE(outcome.report.empty()) << outcome.report.front();
    EXPECT_TRUE(InboundNames().empty());
    reports.push_back(outcome.delivery_report);
  }
  ASSERT_TRUE(reports[0]);
  EXPECT_FALSE(reports[1]);
  EXPECT_EQ(mime::DeliveryReportLines(*reports[0], "3"),
            (std::vector<std::string>{
                "-- Message 3 is a delivery failure report: node100@example.org: 5.1.1 550 5.1.1 "
                "<node100@example.org>: Recipient address rejected",
                "-- Message 3 is a delivery report (delayed): node200@example.org: 4.4.1",
                "--   It returns message <returned@example.org>"}));
}

// A part of 8bit or binary data arrives byte for byte: only CR LF ends a
// line, and a CR or LF alone is part of the line's text.
TEST_F(AttachmentDecoderTest, LoneCrAndLfInBinaryPartsArriveAsSent) {
  decoder.StartMessage(nullptr);
  for (const char* line :
       {"Content-type: multipart/mixed; boundary=CB", "", "--CB", "Content-type: x; name=RAW.BIN",
        "Content-transfer-encoding: binary", ""}) {
    decoder.ScanBodyLine(line);
  }
  decoder.ScanBodyLine("a\rb\nc\r");
  decoder.ScanBodyLine("\n\r", false);
  decoder.ScanBodyLine("\r");
  decoder.ScanBodyLine("end\r");
  decoder.ScanBodyLine("--CB--");
  EXPECT_TRUE(decoder.EndOfMessage(true).whole);
  EXPECT_EQ(dir.Read("IN/RAW.BIN"), "a\rb\nc\r\r\n\n\r\r\r\nend\r");
}

// The digest is the same whether the message is saved or only verified (the
// names saved under do not count) and differs with any name or byte.
TEST_F(AttachmentDecoderTest, VerifyOnlyMakesTheSameDigestAndWritesNothing) {
  SampleMessage message;
  message.content = testing::RandomBytes(5000, 15);
  const auto lines = testing::SenderMessageLines(message);

  platform::UniqueFile saved = platform::OpenFile(dir.File("SAVED.TXT"), "wb");
  decoder.StartMessage(saved.get(), "message", dir.File("SAVED.TXT"), DecodeMode::VerifyOnly);
  for (const auto& line : lines) decoder.ScanBodyLine(line);
  const MessageOutcome verified = decoder.EndOfMessage(true);
  saved.reset();
  EXPECT_TRUE(verified.whole);
  EXPECT_EQ(verified.content_digest.size(), 64u);
  EXPECT_TRUE(verified.files.empty());
  EXPECT_TRUE(InboundNames().empty());
  EXPECT_EQ(dir.Read("SAVED.TXT"), "");
  EXPECT_FALSE(front_end.HasLineStartingWith(Side::Receiving, "-- "));
  EXPECT_TRUE(front_end.FieldHistory(core::Field::GetFilename).empty());
  EXPECT_TRUE(front_end.FieldHistory(core::Field::GetByteProgress).empty());

  SampleMessage other_content = message, other_name = message, nameless = message;
  other_content.content.back() ^= 1;
  other_name.name = "FILE2.ZIP";
  nameless.name = "";
  const std::vector<std::string> messages[] = {
      lines,
      testing::SenderMessageLines(other_content),
      testing::SenderMessageLines(other_name),
      testing::SenderMessageLines(nameless),
      {"Subject: text only", "", "Hello", "", "Bye"},
      {"Subject: uuencoded", "", "begin 644 CAT.PKT", "#0V%T", "`", "end"},
  };
  std::set<std::string> digests;
  for (const auto& m : messages) {
    Scan(m);  // saved under a free name once FILE.ZIP is taken
    EXPECT_EQ(outcome.content_digest, VerifiedDigest(m)) << m.back();
    digests.insert(outcome.content_digest);
  }
  EXPECT_EQ(digests.size(), std::size(messages));
  EXPECT_TRUE(digests.count(verified.content_digest));
}

TEST_F(AttachmentDecoderTest, IncompleteMessageTakesBackItsFinishedAttachments) {
  SampleMessage message;
  message.content = "whole";
  bool deletable = true;
  Scan(testing::SenderMessageLines(message), false, &deletable);
  EXPECT_FALSE(deletable);
  EXPECT_TRUE(InboundNames().empty());
}

}  // namespace
}  // namespace kestrel::receive
