// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/uuencode_scanner.h"

#include <optional>
#include <utility>

#include "mime/mime_text.h"
#include "mime/uudecode.h"

namespace kestrel::mime {

void UuencodeScanner::StartPart(std::string part_name, bool expected) {
  state_ = State::Searching;
  expected_ = expected;
  found_ = false;
  opens_file_ = false;
  part_name_ = std::move(part_name);
}

UuScan UuencodeScanner::Line(std::string_view line, bool whole_line, std::string& out) {
  opens_file_ = false;
  if (state_ == State::Searching) return whole_line ? Begin(line) : UuScan::Text;
  const UuLine kind = whole_line ? DecodeUuLine(line, out) : UuLine::Other;
  if (state_ == State::Begun) {
    // A "begin" line in prose: an empty line or text follows, not data.
    if (kind == UuLine::Other || TrimWhitespace(line).empty()) {
      state_ = State::Searching;
      out.clear();
      return whole_line ? Begin(line) : UuScan::Text;
    }
    found_ = true;
    opens_file_ = true;
    state_ = State::InFile;
  }
  switch (kind) {
    case UuLine::Data:
      return UuScan::Data;
    case UuLine::End:
      state_ = State::Searching;
      return UuScan::End;
    case UuLine::Other:
      break;
  }
  state_ = State::Searching;
  return UuScan::BreaksOff;
}

UuScan UuencodeScanner::Begin(std::string_view line) {
  std::optional<std::string> begin_name = UuBeginName(line);
  if (!begin_name) return UuScan::Text;
  name_ = part_name_.empty() ? std::move(*begin_name) : part_name_;
  file_name_ = safe_name_(name_);
  if (file_name_.empty()) {
    found_ = true;
    return UuScan::Unusable;
  }
  state_ = State::Begun;
  return UuScan::Begins;
}

}  // namespace kestrel::mime
