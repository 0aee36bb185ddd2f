// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A message that carries a file, laid out before it goes: the lines up to the
// attachment's BASE64 (held), the BASE64 lines (counted from the file's size),
// and the closing lines. Its exact size is known before the first byte is
// sent, for SIZE= (RFC 1870) and for cutting it at line boundaries into
// message/partial pieces (RFC 2046 5.2.2) that each stay under a server's
// limit.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "send/line_sink.h"

namespace kestrel::send {

// Collects the lines a composer sends (unstuffed, without CR LF); its remarks
// go to `remarks` when given, else nowhere.
class LineCollector final : public LineSink {
 public:
  explicit LineCollector(LineSink* remarks = nullptr) : remarks_(remarks) {}
  void SendLine(std::string_view line) override { lines.emplace_back(line); }
  void SendEndOfData() override {}
  [[nodiscard]] bool Aborted() const override { return remarks_ && remarks_->Aborted(); }
  void Log(std::string_view text) override {
    if (remarks_) remarks_->Log(text);
  }
  [[nodiscard]] std::uint64_t Bytes() const;  // with CR LF

  std::vector<std::string> lines;

 private:
  LineSink* remarks_;
};

struct LaidOutMessage {
  std::vector<std::string> head;  // up to the empty line after the attachment head
  std::uint64_t file_bytes = 0;   // the file, as BASE64 lines of 57 bytes
  std::vector<std::string> tail;  // the empty line that ends the part, the closing

  [[nodiscard]] std::uint64_t Base64Lines() const;
  [[nodiscard]] std::uint64_t LineCount() const;
  // Line `index` of the whole message with its CR LF.
  [[nodiscard]] std::uint64_t LineBytes(std::uint64_t index) const;
  [[nodiscard]] std::uint64_t Bytes() const;
};

// Lines [first, end) of a laid-out message.
struct LineRange {
  std::uint64_t first = 0;
  std::uint64_t end = 0;
};

[[nodiscard]] std::uint64_t RangeBytes(const LaidOutMessage& message, LineRange range);

// Consecutive runs of whole lines, each at most `capacity` bytes, covering
// the message; empty when a single line is longer than that.
[[nodiscard]] std::vector<LineRange> CutIntoPieces(const LaidOutMessage& message,
                                                   std::uint64_t capacity);

// The identifier of piece `number` of the message `message_id`: its local
// part with ".N" added ("<ABC@d>" gives "<ABC.2@d>").
[[nodiscard]] std::string PieceMessageId(std::string_view message_id, std::uint64_t number);

// The set's id parameter: the message's identifier without its brackets.
[[nodiscard]] std::string PieceSetId(std::string_view message_id);

}  // namespace kestrel::send
