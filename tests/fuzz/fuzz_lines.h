// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Splits fuzz input into lines as the text readers do (CR LF, LF or CR),
// cutting each to a maximum.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::fuzz {

inline std::vector<std::string> SplitLines(const std::uint8_t* data, std::size_t size,
                                           std::size_t max_line) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '\n' || c == '\r') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < size && data[i + 1] == '\n') ++i;
    } else if (line.size() < max_line) {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace kestrel::fuzz
