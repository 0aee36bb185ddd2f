// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/text_conversion.h"

#include <algorithm>

#include "core/le_bytes.h"
#include "core/text_utils.h"
#include "fido/charset_kludge.h"
#include "fido/packed_message.h"
#include "fido/packet_header.h"
#include "fido/stored_message.h"
#include "mime/charset_conversion.h"
#include "platform/file_names.h"
#include "platform/files.h"
#include "send/message_layout.h"

namespace kestrel::send {

namespace {

constexpr char kCr = '\r';
constexpr char kKludgeMark = '\x01';
// Zero bytes of a packet become this, so that names and texts can be told apart.
constexpr char kFieldEnd = '\x03';
// A packed message starts where the previous one ended (or the packet's body
// begins) and its type word 2 follows: code 3, code 2, code 3.
constexpr std::string_view kMessageStart = "\x03\x02\x03";
// The code 3 before the mark and the packed message's fixed part (14 bytes
// and the 20-byte date), removed in one go.
constexpr std::size_t kPackedFixedChars = 1 + fido::kPackedMessageFixedSize;

using core::Field;

// Shows a file converted to text as completely transferred and counts it.
void ShowTextProgress(TextSendContext& context, std::string_view path, std::int64_t size) {
  core::FrontEnd& front_end = context.front_end;
  const std::int64_t total = context.bytes_sent_total + size;
  front_end.SetField(Field::CurrentFilename, platform::BaseName(path));
  front_end.SetField(Field::CurrentFileSize, std::to_string(size));
  front_end.SetField(Field::CurrentProgress, std::to_string(size));
  front_end.SetField(Field::TotalProgress, std::to_string(total));
  if (size > 0) front_end.SetField(Field::CurrentPercent, core::PercentText(size, size));
  if (context.total_bytes > 0) {
    front_end.SetField(Field::TotalPercent, core::PercentText(total, context.total_bytes));
  }
  context.bytes_sent_total = total;
}

// Opens a file to be sent as text, logs it, and reads its header and the rest.
// False when any of it fails (a refusal for size is logged).
bool ReadForText(TextSendContext& context, std::string_view path, std::size_t header_size,
                 std::string& header_r, std::string& rest_r) {
  platform::UniqueFile file = platform::OpenFile(path, "rb");
  if (!file) return false;
  context.sink.Log("-- Sending " + platform::BaseName(path) + " as text email");
  header_r.assign(header_size, '\0');
  if (std::fread(header_r.data(), 1, header_size, file.get()) != header_size) return false;
  const platform::ReadOutcome outcome = platform::ReadRest(file.get(), kMaxTextFileBytes, rest_r);
  if (outcome == platform::ReadOutcome::TooLarge) {
    context.sink.Log("-- Too large to send as text: " + std::string(path));
  }
  return outcome == platform::ReadOutcome::Ok;
}

// Deletes, at the cursor, the text up to and including the next field end;
// nothing when no field end follows.
std::size_t SkipField(const std::string& text, std::size_t at) {
  const std::size_t end = text.find(kFieldEnd, at);
  return end == std::string::npos ? at : end + 1;
}

// The lines of a text as SendTextLines sends them, one at a time.
class TextLineCutter {
 public:
  TextLineCutter(std::string_view text, bool utf8) : text_(text), utf8_(utf8) {}

  // The next line to send; false when no CR follows (text after the last CR
  // is not sent).
  bool Next(std::string& line) {
    for (;;) {
      // Remember the CR found: a long run without one is searched once, not per piece.
      if (!have_cr_ || next_cr_ < at_) {
        next_cr_ = text_.find(kCr, at_);
        if (next_cr_ == std::string_view::npos) return false;
        have_cr_ = true;
      }
      const std::size_t length = PieceLength();
      const std::string_view piece = text_.substr(at_, length);
      at_ += length;
      if (piece.front() == kKludgeMark) continue;
      line = RemoveChars(piece, CharSet::Control);
      if (line == ".") line.clear();
      return true;
    }
  }

 private:
  // Up to and including the CR, at most kMaxTextPiece characters.
  [[nodiscard]] std::size_t PieceLength() const {
    const std::size_t to_cr = next_cr_ - at_ + 1;
    if (!utf8_) return std::min(to_cr, kMaxTextPiece);
    std::size_t length = 0;
    for (std::size_t characters = 0; length < to_cr && characters < kMaxTextPiece; ++characters) {
      ++length;
      while (length < to_cr && mime::IsUtf8Continuation(text_[at_ + length])) ++length;
    }
    return length;
  }

  std::string_view text_;
  bool utf8_;
  std::size_t at_ = 0;
  std::size_t next_cr_ = 0;
  bool have_cr_ = false;
};

// Appends a part of FidoNet text converted from its charset, or as it is
// when the system does not know the charset.
void AppendConverted(MailText& mail, std::string_view part, const std::string& charset) {
  const std::optional<std::string> converted = mime::ConvertToUtf8(part, charset);
  if (converted) {
    mail.text += *converted;
    return;
  }
  mail.text += part;
  if (mail.utf8) mail.unknown_charset = charset;
  mail.utf8 = false;
}

// The subject in the charset of its message; as it is when that is unknown.
std::string ConvertedSubject(std::string_view subject, const std::string& charset) {
  return mime::ConvertToUtf8(subject, charset).value_or(std::string(subject));
}

// Logs a charset the system does not know and chooses the text part's
// encoding for the converted text and the header template.
TextEncoding PrepareEncoding(TextSendContext& context, const MailText& mail, std::string_view path,
                             std::int64_t size) {
  if (!mail.utf8) {
    context.sink.Log("-- Unknown charset " + mail.unknown_charset + ", text sent unconverted");
  }
  const bool ascii = TextLinesAreAscii(mail.text, mail.utf8) &&
                     HeaderTemplateIsAscii(context.header_template_path, path, size);
  return ChooseTextEncoding(ascii, mail.utf8);
}

}  // namespace

void SendTextLines(LineSink& sink, std::string_view text, TextEncoding encoding, bool utf8) {
  TextLineCutter cutter(text, utf8);
  std::string line;
  while (!sink.Aborted() && cutter.Next(line)) SendTextPartLine(sink, encoding, line);
}

bool TextLinesAreAscii(std::string_view text, bool utf8) {
  TextLineCutter cutter(text, utf8);
  std::string line;
  while (cutter.Next(line)) {
    if (!mime::IsAscii(line)) return false;
  }
  return true;
}

PacketText ConvertPacketText(std::string after_header) {
  PacketText result;
  std::replace(after_header.begin(), after_header.end(), '\0', kFieldEnd);
  std::string& text = after_header;
  text.insert(text.begin(), kFieldEnd);
  text.push_back(kCr);
  text.push_back(kCr);

  // One pass, compacting in place: each message gives up at least 35
  // characters and gains two CRs, so the write position never passes the read
  // position.
  std::size_t read = 0;
  std::size_t write = 0;
  const auto copy_to_output = [&](std::size_t end) {
    if (write != read) std::copy(text.begin() + read, text.begin() + end, text.begin() + write);
    write += end - read;
    read = end;
  };
  for (;;) {
    const std::size_t mark = text.find(kMessageStart, read);
    if (mark == std::string::npos) break;
    copy_to_output(mark);
    ++result.message_count;
    result.message_starts.push_back(write);
    std::size_t at = std::min(mark + kPackedFixedChars, text.size());
    at = SkipField(text, at);  // to-user name
    at = SkipField(text, at);  // from-user name
    if (!result.subject) {
      const std::size_t end = std::min(text.find(kFieldEnd, at), text.size());
      result.subject = text.substr(at, std::min(end - at, kMaxPacketSubject));
    }
    at = SkipField(text, at);  // subject
    read = at;
    // Every message's text begins with two empty lines.
    text[write++] = kCr;
    text[write++] = kCr;
  }
  copy_to_output(text.size());
  text.resize(write);
  result.text = std::move(text);
  return result;
}

MailText NetmailMailText(std::string_view text, std::string_view subject,
                         const std::string& default_charset) {
  const std::string charset = fido::DeclaredCharset(text).value_or(default_charset);
  MailText mail;
  AppendConverted(mail, text, charset);
  mail.subject = ConvertedSubject(subject, charset);
  return mail;
}

MailText PacketMailText(const PacketText& packet, const std::string& default_charset) {
  const std::string_view text = packet.text;
  std::vector<std::size_t> bounds = {0};
  bounds.insert(bounds.end(), packet.message_starts.begin(), packet.message_starts.end());
  bounds.push_back(text.size());
  MailText mail;
  mail.text.reserve(text.size());
  // Neighbouring messages in one charset are converted together.
  std::string run_charset = default_charset;
  std::size_t run_begin = 0;
  for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
    const std::string_view part = text.substr(bounds[i], bounds[i + 1] - bounds[i]);
    const std::string charset = fido::DeclaredCharset(part).value_or(default_charset);
    if (i == 1 && packet.subject) mail.subject = ConvertedSubject(*packet.subject, charset);
    if (charset == run_charset) continue;
    AppendConverted(mail, text.substr(run_begin, bounds[i] - run_begin), run_charset);
    run_begin = bounds[i];
    run_charset = charset;
  }
  AppendConverted(mail, text.substr(run_begin), run_charset);
  return mail;
}

bool SendNetmailAsText(TextSendContext& context, std::string_view path, std::int64_t size) {
  std::string header;
  std::string text;
  if (!ReadForText(context, path, fido::kStoredMessageHeaderSize, header, text)) return false;
  core::ByteReader reader(header);
  const std::optional<fido::StoredMessageHeader> fields = fido::ParseStoredMessageHeader(reader);
  if (!fields) return false;
  text.push_back(kCr);
  const MailText mail = NetmailMailText(text, fields->subject, context.fido_charset);
  text = std::string();  // the converted copy is what goes
  const TextEncoding encoding = PrepareEncoding(context, mail, path, size);
  SendSubjectAndTextHead(context.sink, context.boundary,
                         RemoveChars(mail.subject, CharSet::Control), encoding);
  ShowTextProgress(context, path, size);
  SendTextLines(context.sink, mail.text, encoding, mail.utf8);
  SendHeaderTemplate(context.sink, context.header_template_path, path, size, encoding);
  return true;
}

bool SendPacketAsText(TextSendContext& context, std::string_view path, std::int64_t size) {
  std::string header;
  std::string body;
  if (!ReadForText(context, path, fido::kPacketHeaderSize, header, body)) return false;
  ShowTextProgress(context, path, size);
  const PacketText converted = ConvertPacketText(std::move(body));
  const MailText mail = PacketMailText(converted, context.fido_charset);
  const TextEncoding encoding = PrepareEncoding(context, mail, path, size);
  if (converted.subject) {
    SendSubjectAndTextHead(context.sink, context.boundary,
                           RemoveChars(mail.subject, CharSet::Control), encoding);
  }
  SendTextLines(context.sink, mail.text, encoding, mail.utf8);
  SendHeaderTemplate(context.sink, context.header_template_path, path, size, encoding);
  core::FrontEnd& front_end = context.front_end;
  for (const Field field : {Field::CurrentFilename, Field::CurrentPercent, Field::CurrentProgress,
                            Field::CurrentFileSize}) {
    front_end.SetField(field, "");
  }
  context.sink.Log("-- " + std::to_string(converted.message_count) +
                   " message(s) in Pkt-file converted to text");
  return true;
}

}  // namespace kestrel::send
