// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/message_layout.h"

#include <functional>
#include <vector>

#include "config/text_lines.h"
#include "mime/ascii_text.h"
#include "mime/charset_conversion.h"
#include "mime/header_encoding.h"
#include "mime/quoted_printable.h"
#include "platform/file_names.h"
#include "platform/program_home.h"
#include "send/random_source.h"

namespace kestrel::send {

namespace {

constexpr std::string_view kFileNamePlaceholder = "$FILENAME$";
constexpr std::string_view kFileSizePlaceholder = "$FILESIZE$";
constexpr std::string_view kVersionPlaceholder = "$VERSION$";
constexpr std::string_view kHexDigits = "0123456789ABCDEF";
constexpr int kPacketNameDigits = 8;

bool InSet(unsigned char c, CharSet set) {
  return set == CharSet::Control ? c < 32 : c == ' ';
}

// Replaces the first occurrence of the placeholder (compared in upper case)
// by the value; the result is cut at kMaxTextLine.
void ReplaceFirst(std::string& text, std::string_view placeholder, std::string_view value) {
  const std::size_t at = mime::UpperCase(text).find(placeholder);
  if (at == std::string::npos) return;
  text.replace(at, placeholder.size(), value);
  if (text.size() > kMaxTextLine) text.resize(kMaxTextLine);
}

void Send(LineSink& sink, std::string_view line) {
  sink.SendLine(line.substr(0, kMaxSendLine));
}

void SendDelimiter(LineSink& sink, int boundary) {
  Send(sink, "--" + BoundaryText(boundary));
}

// A header of words: the first behind the prefix, each further one on a line
// of its own (folded), the suffix behind the last.
void SendFolded(LineSink& sink, std::string_view prefix, const std::vector<std::string>& words,
                std::string_view suffix) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::string line = i == 0 ? std::string(prefix) + words[i] : " " + words[i];
    if (i + 1 == words.size()) line += suffix;
    Send(sink, line);
  }
}

void SendMailbox(LineSink& sink, std::string_view field, std::string_view name,
                 std::string_view address) {
  SendFolded(sink, field, mime::DisplayNameWords(name), " <" + std::string(address) + ">");
}

// Each line of the template at template_path, filled in; false when it cannot
// be opened.
bool ForEachTemplateLine(std::string_view template_path, std::string_view file_name,
                         std::int64_t size, const std::function<void(const std::string&)>& take) {
  config::TextLineReader reader(template_path, kMaxTextLine);
  if (!reader.is_open()) return false;
  const std::string name = platform::BaseName(file_name);
  const std::string size_text = std::to_string(size);
  std::string line;
  while (reader.Next(line)) {
    line = RemoveChars(line, CharSet::Control);
    ReplaceFirst(line, kFileNamePlaceholder, name);
    ReplaceFirst(line, kFileSizePlaceholder, size_text);
    ReplaceFirst(line, kVersionPlaceholder, core::kVersion);
    // A lone "." goes out as an empty line. (The sink dot-stuffs every line,
    // so it could not end the SMTP data either way.)
    if (line == ".") line.clear();
    take(line);
  }
  return true;
}

}  // namespace

std::string RemoveChars(std::string_view text, CharSet set) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (!InSet(static_cast<unsigned char>(c), set)) out.push_back(c);
  }
  return out;
}

int DrawBoundaryNumber() {
  return RandomBelow(kBoundaryRange);
}

std::string BoundaryText(int boundary) {
  return "Message-Boundary-" + std::to_string(boundary);
}

std::string RandomPacketName() {
  std::string name;
  for (int i = 0; i < kPacketNameDigits; ++i) {
    name.push_back(kHexDigits[static_cast<std::size_t>(RandomBelow(16))]);
  }
  return name + ".PKT";
}

TextEncoding ChooseTextEncoding(bool ascii, bool converted) {
  if (ascii) return TextEncoding::Ascii;
  return converted ? TextEncoding::Utf8 : TextEncoding::Unknown8bit;
}

namespace {

void SendHead(LineSink& sink, std::string_view content_type, const config::RedirectEntry& redirect,
              const config::Configuration& configuration, const MessageStamp& stamp) {
  Send(sink, "X-Mailer: Kestrel " + std::string(core::kVersion) + " (32)");
  Send(sink, "Mime-Version: 1.0");
  Send(sink, "Content-type: " + std::string(content_type));
  SendMailbox(sink, "To: ", redirect.Name, redirect.EmailAddress);
  SendMailbox(sink, "From: ", configuration.FROM, configuration.FROMEMAIL);
  Send(sink, "Date: " + stamp.date);
  Send(sink, "Message-ID: " + stamp.message_id);
}

void SendSubject(LineSink& sink, const std::string& text, std::string_view charset) {
  SendFolded(sink, "Subject: ", mime::HeaderTextWords(text, charset), "");
}

}  // namespace

void SendMessageHead(LineSink& sink, int boundary, const config::RedirectEntry& redirect,
                     const config::Configuration& configuration, const MessageStamp& stamp) {
  SendHead(sink, "Multipart/Mixed; boundary=" + BoundaryText(boundary), redirect, configuration,
           stamp);
}

void SendPieceHead(LineSink& sink, const PieceOfSet& piece, const config::RedirectEntry& redirect,
                   const config::Configuration& configuration, const MessageStamp& stamp,
                   std::string_view subject) {
  // The total on the last piece alone: some readers refuse a set whose
  // earlier pieces carry it too.
  std::string type = "message/partial; id=" + mime::QuotedString(piece.set_id) +
                     "; number=" + std::to_string(piece.number);
  if (piece.number == piece.total) type += "; total=" + std::to_string(piece.total);
  SendHead(sink, type, redirect, configuration, stamp);
  SendSubject(sink, mime::UserTextAsUtf8(subject), mime::kUtf8Charset);
  Send(sink, "");
}

void SendSubjectAndTextHead(LineSink& sink, int boundary, std::string_view subject,
                            TextEncoding encoding) {
  const bool unknown = encoding == TextEncoding::Unknown8bit;
  const std::string text = unknown ? std::string(subject) : mime::UserTextAsUtf8(subject);
  SendSubject(sink, text, unknown ? mime::kUnknown8bitCharset : mime::kUtf8Charset);
  Send(sink, "");
  Send(sink, "");
  SendDelimiter(sink, boundary);
  switch (encoding) {
    case TextEncoding::Ascii:
      Send(sink, "Content-type: text/plain; charset=US-ASCII");
      Send(sink, "Content-transfer-encoding: 7BIT");
      break;
    case TextEncoding::Utf8:
    case TextEncoding::Unknown8bit:
      Send(sink, "Content-type: text/plain; charset=" +
                     std::string(unknown ? mime::kUnknown8bitCharset : mime::kUtf8Charset));
      Send(sink, "Content-transfer-encoding: quoted-printable");
      break;
  }
  Send(sink, "Content-description: Mail message body");
  Send(sink, "");
}

void SendTextPartLine(LineSink& sink, TextEncoding encoding, std::string_view line) {
  if (encoding == TextEncoding::Ascii) {
    Send(sink, line);
    return;
  }
  for (const std::string& encoded : mime::QuotedPrintableLines(line)) sink.SendLine(encoded);
}

std::string ExpandSubjectTemplate(std::string_view subject_template, std::string_view file_name,
                                  std::int64_t size) {
  std::string subject(
      (subject_template.empty() ? kDefaultSubject : subject_template).substr(0, kMaxTextLine));
  ReplaceFirst(subject, kFileNamePlaceholder, platform::BaseName(file_name));
  ReplaceFirst(subject, kFileSizePlaceholder, std::to_string(size));
  return subject;
}

std::string HeaderTemplatePath() {
  return platform::HomeFile("HEADER.TXT");
}

void SendHeaderTemplate(LineSink& sink, std::string_view template_path, std::string_view file_name,
                        std::int64_t size, TextEncoding encoding) {
  const bool opened = ForEachTemplateLine(template_path, file_name, size, [&](const auto& line) {
    SendTextPartLine(sink, encoding,
                     encoding == TextEncoding::Utf8 ? mime::UserTextAsUtf8(line) : line);
  });
  if (!opened) sink.Log("-- No header file defined");
}

bool HeaderTemplateIsAscii(std::string_view template_path, std::string_view file_name,
                           std::int64_t size) {
  bool ascii = true;
  (void)ForEachTemplateLine(template_path, file_name, size,
                            [&](const auto& line) { ascii = ascii && mime::IsAscii(line); });
  return ascii;
}

void SendTemplateTextPart(LineSink& sink, int boundary, std::string_view subject,
                          std::string_view template_path, std::string_view file_name,
                          std::int64_t size) {
  const TextEncoding encoding =
      ChooseTextEncoding(HeaderTemplateIsAscii(template_path, file_name, size), true);
  SendSubjectAndTextHead(sink, boundary, subject, encoding);
  SendHeaderTemplate(sink, template_path, file_name, size, encoding);
}

void SendAttachmentHead(LineSink& sink, int boundary, std::string_view attachment_name) {
  SendDelimiter(sink, boundary);
  const std::string type = "Content-type: application/octet-stream;";
  if (mime::IsAscii(attachment_name)) {
    Send(sink, type + " name=" +
                   (mime::IsMimeToken(attachment_name) ? std::string(attachment_name)
                                                       : mime::QuotedString(attachment_name)));
    Send(sink, "Content-transfer-encoding: BASE64");
  } else {
    // Readers that know RFC 2231 take the disposition's name, the others the
    // encoded words.
    const std::string name = mime::UserTextAsUtf8(attachment_name);
    Send(sink, type);
    SendFolded(sink, " name=\"", mime::EncodedWords(name, mime::kUtf8Charset), "\"");
    Send(sink, "Content-transfer-encoding: BASE64");
    Send(sink, "Content-disposition: attachment;");
    SendFolded(sink, " ", mime::ExtendedParameter("filename", name), "");
  }
  Send(sink, "");
}

void SendClosing(LineSink& sink, int boundary) {
  Send(sink, "--" + BoundaryText(boundary) + "--");
  Send(sink, "");
  Send(sink, "");
  sink.SendEndOfData();
}

}  // namespace kestrel::send
