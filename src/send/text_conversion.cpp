// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/text_conversion.h"

#include <algorithm>

#include "core/le_bytes.h"
#include "fido/packed_message.h"
#include "fido/packet_header.h"
#include "fido/stored_message.h"
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

std::string PercentText(std::int64_t part, std::int64_t whole) {
  return std::to_string(part * 100 / whole) + "%";
}

// Shows a file converted to text as completely transferred and counts it.
void ShowTextProgress(TextSendContext& context, std::string_view path, std::int32_t size) {
  core::FrontEnd& front_end = context.front_end;
  const std::int64_t total = std::int64_t{context.bytes_sent_total} + size;
  front_end.SetField(Field::CurrentFilename, platform::BaseName(path));
  front_end.SetField(Field::CurrentFileSize, std::to_string(size));
  front_end.SetField(Field::CurrentProgress, std::to_string(size));
  front_end.SetField(Field::TotalProgress, std::to_string(total));
  if (size > 0) front_end.SetField(Field::CurrentPercent, PercentText(size, size));
  if (context.total_bytes > 0) {
    front_end.SetField(Field::TotalPercent, PercentText(total, context.total_bytes));
  }
  context.bytes_sent_total = static_cast<std::int32_t>(total);
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

}  // namespace

void SendTextLines(LineSink& sink, std::string_view text) {
  std::size_t at = 0;
  std::size_t next_cr = 0;
  bool have_cr = false;
  while (!sink.Aborted()) {
    // Remember the CR found: a long run without one is searched once, not per piece.
    if (!have_cr || next_cr < at) {
      next_cr = text.find(kCr, at);
      if (next_cr == std::string_view::npos) return;  // text after the last CR is not sent
      have_cr = true;
    }
    const std::size_t length = std::min(next_cr - at + 1, kMaxTextPiece);
    const std::string_view piece = text.substr(at, length);
    at += length;
    if (piece.front() == kKludgeMark) continue;
    std::string line = RemoveChars(piece, CharSet::Control);
    if (line == ".") line.clear();
    sink.SendLine(line);
  }
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

bool SendNetmailAsText(TextSendContext& context, std::string_view path, std::int32_t size) {
  std::string header;
  std::string text;
  if (!ReadForText(context, path, fido::kStoredMessageHeaderSize, header, text)) return false;
  core::ByteReader reader(header);
  const std::optional<fido::StoredMessageHeader> fields = fido::ParseStoredMessageHeader(reader);
  if (!fields) return false;
  SendSubjectAndTextHead(context.sink, context.boundary,
                         RemoveChars(fields->subject, CharSet::Control));
  text.push_back(kCr);
  ShowTextProgress(context, path, size);
  SendTextLines(context.sink, text);
  SendHeaderTemplate(context.sink, context.header_template_path, path, size);
  return true;
}

bool SendPacketAsText(TextSendContext& context, std::string_view path, std::int32_t size) {
  std::string header;
  std::string body;
  if (!ReadForText(context, path, fido::kPacketHeaderSize, header, body)) return false;
  ShowTextProgress(context, path, size);
  const PacketText converted = ConvertPacketText(std::move(body));
  if (converted.subject) {
    SendSubjectAndTextHead(context.sink, context.boundary,
                           RemoveChars(*converted.subject, CharSet::Control));
  }
  SendTextLines(context.sink, converted.text);
  SendHeaderTemplate(context.sink, context.header_template_path, path, size);
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
