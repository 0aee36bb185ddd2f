// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/message_layout.h"

#include "config/text_lines.h"
#include "core/text_utils.h"
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
  const std::size_t at = core::UpperCase(text).find(placeholder);
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

void SendMessageHead(LineSink& sink, int boundary, const config::RedirectEntry& redirect,
                     const config::Configuration& configuration) {
  Send(sink, "X-Mailer: Kestrel " + std::string(core::kVersion) + " (32)");
  Send(sink, "Mime-Version: 1.0");
  Send(sink, "Content-type: Multipart/Mixed; boundary=" + BoundaryText(boundary));
  Send(sink, "To: " + redirect.Name + " <" + redirect.EmailAddress + ">");
  Send(sink, "From: " + configuration.FROM + " <" + configuration.FROMEMAIL + ">");
}

void SendSubjectAndTextHead(LineSink& sink, int boundary, std::string_view subject) {
  Send(sink, "Subject: " + std::string(subject));
  Send(sink, "");
  Send(sink, "");
  SendDelimiter(sink, boundary);
  Send(sink, "Content-type: text/plain; charset=US-ASCII");
  Send(sink, "Content-transfer-encoding: 7BIT");
  Send(sink, "Content-description: Mail message body");
  Send(sink, "");
}

std::string ExpandSubjectTemplate(std::string_view subject_template, std::string_view file_name,
                                  std::int64_t size) {
  std::string subject(subject_template.substr(0, kMaxTextLine));
  ReplaceFirst(subject, kFileNamePlaceholder, platform::BaseName(file_name));
  ReplaceFirst(subject, kFileSizePlaceholder, std::to_string(size));
  return subject;
}

std::string HeaderTemplatePath() {
  return platform::HomeFile("HEADER.TXT");
}

void SendHeaderTemplate(LineSink& sink, std::string_view template_path, std::string_view file_name,
                        std::int64_t size) {
  config::TextLineReader reader(template_path, kMaxTextLine);
  if (!reader.is_open()) {
    sink.Log("-- No header file defined");
    return;
  }
  const std::string name = platform::BaseName(file_name);
  const std::string size_text = std::to_string(size);
  std::string line;
  while (reader.Next(line)) {
    line = RemoveChars(line, CharSet::Control);
    ReplaceFirst(line, kFileNamePlaceholder, name);
    ReplaceFirst(line, kFileSizePlaceholder, size_text);
    ReplaceFirst(line, kVersionPlaceholder, core::kVersion);
    // A lone "." would end the SMTP data early.
    if (line == ".") line.clear();
    Send(sink, line);
  }
}

void SendAttachmentHead(LineSink& sink, int boundary, std::string_view attachment_name) {
  SendDelimiter(sink, boundary);
  Send(sink, "Content-type: application/octet-stream; name=" + std::string(attachment_name));
  Send(sink, "Content-transfer-encoding: BASE64");
  Send(sink, "");
}

void SendClosing(LineSink& sink, int boundary) {
  Send(sink, "--" + BoundaryText(boundary) + "--");
  Send(sink, "");
  Send(sink, "");
  sink.SendEndOfData();
}

}  // namespace kestrel::send
