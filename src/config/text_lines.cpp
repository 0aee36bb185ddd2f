// SPDX-License-Identifier: GPL-2.0-or-later
#include "config/text_lines.h"

namespace kestrel::config {

TextLineReader::TextLineReader(std::string_view path, std::size_t max_line)
    : file_(platform::OpenFile(path, "rb")), max_line_(max_line) {}

bool TextLineReader::Next(std::string& line) {
  line.clear();
  if (!file_) return false;
  bool any = false;
  for (;;) {
    const int c = std::fgetc(file_.get());
    if (c == EOF) {
      failed_ = std::ferror(file_.get()) != 0;
      return any && !failed_;
    }
    any = true;
    if (c == '\n') return true;
    if (c == '\r') {
      const int next = std::fgetc(file_.get());
      if (next != '\n' && next != EOF) std::ungetc(next, file_.get());
      return true;
    }
    if (line.size() < max_line_) line += static_cast<char>(c);
  }
}

}  // namespace kestrel::config
