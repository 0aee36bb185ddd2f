// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/uudecode.h"

#include "mime/mime_text.h"

namespace kestrel::mime {
namespace {

// Characters of one group, and the bytes it carries.
constexpr std::size_t kGroupChars = 4;
constexpr std::size_t kGroupBytes = 3;
// Some encoders add a check character or two after the data.
constexpr std::size_t kSpareChars = 2;

bool IsUuCharacter(char c) {
  return c >= ' ' && c <= '`';
}

// " " and "`" both stand for 0.
unsigned Value(char c) {
  return static_cast<unsigned>(c - ' ') & 63u;
}

}  // namespace

std::optional<std::string> UuBeginName(std::string_view line) {
  if (!StartsWith(line, "begin ")) return std::nullopt;
  std::size_t at = 6;
  while (at < line.size() && line[at] == ' ') ++at;
  const std::size_t mode = at;
  while (at < line.size() && line[at] >= '0' && line[at] <= '7') ++at;
  if (at == mode || at - mode > 4 || at >= line.size() || line[at] != ' ') return std::nullopt;
  const std::string_view name = TrimWhitespace(line.substr(at + 1));
  if (name.empty()) return std::nullopt;
  return std::string(name);
}

UuLine DecodeUuLine(std::string_view line, std::string& out) {
  const std::string_view text = TrimWhitespace(line);
  if (text == "end") return UuLine::End;
  if (text.empty()) return UuLine::Data;  // the "`" line with its blank taken away
  // Trailing blanks decode as the blanks they were; a stray CR is no data.
  while (IsBlank(line.back()) || line.back() == '\r') line.remove_suffix(1);
  for (const char c : line) {
    if (!IsUuCharacter(c)) return UuLine::Other;
  }
  const std::size_t count = Value(line[0]);
  const std::size_t groups = (count + kGroupBytes - 1) / kGroupBytes;
  if (line.size() - 1 > groups * kGroupChars + kSpareChars) return UuLine::Other;
  auto at = [&](std::size_t i) { return i < line.size() ? Value(line[i]) : 0u; };
  for (std::size_t g = 0, written = 0; g < groups; ++g) {
    const std::size_t first = 1 + g * kGroupChars;
    const unsigned bits =
        (at(first) << 18) | (at(first + 1) << 12) | (at(first + 2) << 6) | at(first + 3);
    for (std::size_t k = 0; k < kGroupBytes && written < count; ++k, ++written) {
      out.push_back(static_cast<char>((bits >> (16 - 8 * k)) & 0xFFu));
    }
  }
  return UuLine::Data;
}

}  // namespace kestrel::mime
