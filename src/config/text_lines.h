// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Reads a text file line by line the way the configuration and filter files
// are read: CR LF, LF or CR ends a line, and a line longer than its limit is
// cut, the rest of it skipped.

#include <string>
#include <string_view>

#include "platform/files.h"

namespace kestrel::config {

// Configuration and filter lines keep at most this many characters.
inline constexpr std::size_t kMaxTextLine = 255;

class TextLineReader {
 public:
  explicit TextLineReader(std::string_view path, std::size_t max_line = kMaxTextLine);
  [[nodiscard]] bool is_open() const { return file_ != nullptr; }
  // The next line, without its end; false at the end of the file.
  bool Next(std::string& line);
  // True when reading stopped on an input/output error rather than the end.
  [[nodiscard]] bool failed() const { return failed_; }

 private:
  platform::UniqueFile file_;
  std::size_t max_line_;
  bool failed_ = false;
};

}  // namespace kestrel::config
