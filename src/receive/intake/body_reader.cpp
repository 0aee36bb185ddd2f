// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/intake/body_reader.h"

#include <algorithm>
#include <cstring>

namespace kestrel::receive {

void BodyReader::Reset(std::optional<std::uint64_t> counted) {
  fill_ = 0;
  position_ = 0;
  at_line_start_ = true;
  held_cr_ = false;
  counted_ = counted.has_value();
  remaining_ = counted.value_or(0);
}

std::string_view BodyReader::Unread() const {
  return std::string_view(buffer_.data() + position_, fill_ - position_);
}

BodyStatus BodyReader::ReadBodyLine(BodyPiece& piece) {
  piece.text.clear();
  piece.line_ends = false;
  const bool starts_line = at_line_start_;
  const char* const base = buffer_.data();
  while (piece.text.size() < kMaxBodyPiece) {
    if (position_ == fill_) {
      if (counted_ && remaining_ == 0) {
        if (held_cr_) piece.text.push_back('\r');  // the last byte: no LF follows
        held_cr_ = false;
        if (!piece.text.empty()) break;  // the last line, without a line end
        return BodyStatus::EndOfData;
      }
      position_ = 0;
      const std::size_t wanted =
          counted_ ? static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), remaining_))
                   : buffer_.size();
      fill_ = source_(buffer_.data(), wanted);
      if (fill_ == 0) return BodyStatus::NoData;
      if (counted_) remaining_ -= fill_;
    }
    if (held_cr_) {
      held_cr_ = false;
      if (buffer_[position_] == '\n') {
        ++position_;
        piece.line_ends = true;
        break;
      }
      piece.text.push_back('\r');
      continue;
    }
    // Copy up to the next CR or the piece limit in one go; memchr looks at
    // many bytes at a time, and a line is rarely shorter.
    const std::size_t room = kMaxBodyPiece - piece.text.size();
    const std::size_t limit = fill_ - position_ < room ? fill_ : position_ + room;
    const void* cr = std::memchr(base + position_, '\r', limit - position_);
    const std::size_t end =
        cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - base) : limit;
    piece.text.append(base + position_, end - position_);
    position_ = end;
    if (!cr) continue;
    ++position_;
    if (position_ == fill_) {
      held_cr_ = true;  // the next read tells
    } else if (buffer_[position_] == '\n') {
      ++position_;
      piece.line_ends = true;
      break;
    } else {
      piece.text.push_back('\r');  // a lone CR is data
    }
  }
  at_line_start_ = piece.line_ends;
  if (starts_line && !counted_) {
    if (piece.line_ends && piece.text == ".") return BodyStatus::EndOfData;
    if (piece.text.size() >= 2 && piece.text[0] == '.' && piece.text[1] == '.') {
      piece.text.erase(0, 1);
    }
  }
  return BodyStatus::Piece;
}

}  // namespace kestrel::receive
