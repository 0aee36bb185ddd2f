// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/message_pieces.h"

#include "mime/base64.h"

namespace kestrel::send {

namespace {

constexpr std::uint64_t kLineEnd = 2;

std::uint64_t LinesBytes(const std::vector<std::string>& lines) {
  std::uint64_t bytes = 0;
  for (const std::string& line : lines) bytes += line.size() + kLineEnd;
  return bytes;
}

// A BASE64 line of `count` data bytes: four characters for every three begun.
std::uint64_t Base64LineBytes(std::uint64_t count) {
  return (count + 2) / 3 * 4 + kLineEnd;
}

}  // namespace

std::uint64_t LineCollector::Bytes() const {
  return LinesBytes(lines);
}

std::uint64_t LaidOutMessage::Base64Lines() const {
  return file_bytes / mime::kBase64BlockBytes + 1;
}

std::uint64_t LaidOutMessage::LineCount() const {
  return head.size() + Base64Lines() + tail.size();
}

std::uint64_t LaidOutMessage::LineBytes(std::uint64_t index) const {
  if (index < head.size()) return head[index].size() + kLineEnd;
  index -= head.size();
  const std::uint64_t base64_lines = Base64Lines();
  if (index + 1 < base64_lines) return Base64LineBytes(mime::kBase64BlockBytes);
  if (index + 1 == base64_lines) return Base64LineBytes(file_bytes % mime::kBase64BlockBytes);
  return tail[index - base64_lines].size() + kLineEnd;
}

std::uint64_t LaidOutMessage::Bytes() const {
  return RangeBytes(*this, {0, LineCount()});
}

std::uint64_t RangeBytes(const LaidOutMessage& message, LineRange range) {
  // The full BASE64 lines inside the range are counted at once.
  const std::uint64_t full_first = message.head.size();
  const std::uint64_t full_end = full_first + message.Base64Lines() - 1;
  std::uint64_t bytes = 0;
  for (std::uint64_t i = range.first; i < range.end;) {
    if (i >= full_first && i < full_end) {
      const std::uint64_t stop = std::min(range.end, full_end);
      bytes += (stop - i) * Base64LineBytes(mime::kBase64BlockBytes);
      i = stop;
    } else {
      bytes += message.LineBytes(i++);
    }
  }
  return bytes;
}

std::vector<LineRange> CutIntoPieces(const LaidOutMessage& message, std::uint64_t capacity) {
  std::vector<LineRange> pieces;
  LineRange piece;
  std::uint64_t bytes = 0;
  const std::uint64_t count = message.LineCount();
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t line = message.LineBytes(i);
    if (line > capacity) return {};
    if (bytes + line > capacity) {
      piece.end = i;
      pieces.push_back(piece);
      piece.first = i;
      bytes = 0;
    }
    bytes += line;
  }
  piece.end = count;
  pieces.push_back(piece);
  return pieces;
}

std::string PieceMessageId(std::string_view message_id, std::uint64_t number) {
  const std::size_t at = message_id.rfind('@');
  if (at == std::string_view::npos) return std::string(message_id);
  return std::string(message_id.substr(0, at)) + "." + std::to_string(number) +
         std::string(message_id.substr(at));
}

std::string PieceSetId(std::string_view message_id) {
  if (message_id.size() >= 2 && message_id.front() == '<' && message_id.back() == '>') {
    message_id = message_id.substr(1, message_id.size() - 2);
  }
  return std::string(message_id);
}

}  // namespace kestrel::send
