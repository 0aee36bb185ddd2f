// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/recording_front_end.h"

#include <algorithm>

namespace kestrel::testing {

void RecordingFrontEnd::AppendPaneLine(core::Side side, std::string_view line) {
  std::lock_guard guard(mutex_);
  (side == core::Side::Sending ? send_lines_ : get_lines_).emplace_back(line);
}

void RecordingFrontEnd::ClearPane(core::Side side) {
  std::lock_guard guard(mutex_);
  (side == core::Side::Sending ? send_lines_ : get_lines_).clear();
}

void RecordingFrontEnd::SetField(core::Field field, std::string_view text) {
  std::lock_guard guard(mutex_);
  fields_[field].emplace_back(text);
}

void RecordingFrontEnd::SetWaitingIndicator(core::Side side, bool waiting) {
  std::lock_guard guard(mutex_);
  (side == core::Side::Sending ? send_waiting_ : get_waiting_) = waiting;
}

std::vector<std::string> RecordingFrontEnd::Lines(core::Side side) const {
  std::lock_guard guard(mutex_);
  return side == core::Side::Sending ? send_lines_ : get_lines_;
}

std::string RecordingFrontEnd::Field(core::Field field) const {
  std::lock_guard guard(mutex_);
  auto it = fields_.find(field);
  return it == fields_.end() || it->second.empty() ? std::string() : it->second.back();
}

std::vector<std::string> RecordingFrontEnd::FieldHistory(core::Field field) const {
  std::lock_guard guard(mutex_);
  auto it = fields_.find(field);
  return it == fields_.end() ? std::vector<std::string>() : it->second;
}

bool RecordingFrontEnd::Waiting(core::Side side) const {
  std::lock_guard guard(mutex_);
  return side == core::Side::Sending ? send_waiting_ : get_waiting_;
}

bool RecordingFrontEnd::HasLine(core::Side side, const std::string& line) const {
  auto lines = Lines(side);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::vector<std::string> RecordingFrontEnd::Commands(core::Side side) const {
  std::vector<std::string> commands;
  for (const std::string& line : Lines(side)) {
    if (line.starts_with("-> ")) commands.push_back(line.substr(3));
  }
  return commands;
}

bool RecordingFrontEnd::HasLineStartingWith(core::Side side, const std::string& prefix) const {
  auto lines = Lines(side);
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

}  // namespace kestrel::testing
