// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/body_reader.h"

#include <cstring>

namespace kestrel::receive {

void BodyReader::Reset() {
  fill_ = 0;
  position_ = 0;
  at_line_start_ = true;
  after_cr_ = false;
}

BodyStatus BodyReader::ReadBodyLine(BodyPiece& piece) {
  piece.text.clear();
  piece.line_ends = false;
  const bool starts_line = at_line_start_;
  for (;;) {
    if (position_ == fill_) {
      position_ = 0;
      fill_ = source_(buffer_.data(), buffer_.size());
      if (fill_ == 0) return BodyStatus::NoData;
    }
    if (after_cr_) {
      after_cr_ = false;
      if (buffer_[position_] == '\n') ++position_;
      continue;
    }
    // Copy up to the next line end or the piece limit in one go.
    std::size_t end = position_;
    const std::size_t room = kMaxBodyPiece - piece.text.size();
    const std::size_t limit = fill_ - position_ < room ? fill_ : position_ + room;
    // memchr looks at many bytes at a time; a line is rarely shorter.
    const char* const base = buffer_.data();
    if (const void* lf = std::memchr(base + end, '\n', limit - end)) {
      end = static_cast<std::size_t>(static_cast<const char*>(lf) - base);
    } else {
      end = limit;
    }
    if (const void* cr = std::memchr(base + position_, '\r', end - position_)) {
      end = static_cast<std::size_t>(static_cast<const char*>(cr) - base);
    }
    piece.text.append(buffer_.data() + position_, end - position_);
    position_ = end;
    if (end < fill_ && (buffer_[end] == '\r' || buffer_[end] == '\n')) {
      after_cr_ = buffer_[end] == '\r';
      ++position_;
      piece.line_ends = true;
      break;
    }
    if (piece.text.size() >= kMaxBodyPiece) break;
  }
  at_line_start_ = piece.line_ends;
  if (starts_line) {
    if (piece.line_ends && piece.text == ".") return BodyStatus::EndOfData;
    if (piece.text.size() >= 2 && piece.text[0] == '.' && piece.text[1] == '.') {
      piece.text.erase(0, 1);
    }
  }
  return BodyStatus::Piece;
}

}  // namespace kestrel::receive
