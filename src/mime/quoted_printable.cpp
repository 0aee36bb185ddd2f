// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/quoted_printable.h"

namespace kestrel::mime {

namespace {

constexpr std::string_view kHexDigits = "0123456789ABCDEF";

bool Literal(unsigned char c, bool last) {
  // Blanks and tabs only inside a line: at its end a transport may strip them.
  if (c == ' ' || c == '\t') return !last;
  return c >= '!' && c <= '~' && c != '=';
}

}  // namespace

std::vector<std::string> QuotedPrintableLines(std::string_view line) {
  std::vector<std::string> lines;
  std::string current;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    const bool last = i + 1 == line.size();
    const std::string piece = Literal(c, last)
                                  ? std::string(1, static_cast<char>(c))
                                  : std::string{'=', kHexDigits[c >> 4], kHexDigits[c & 0x0F]};
    // Room for the soft line break, unless this piece ends the line.
    const std::size_t room = last ? kMaxQuotedPrintableLine : kMaxQuotedPrintableLine - 1;
    if (current.size() + piece.size() > room) {
      lines.push_back(current + "=");
      current.clear();
    }
    current += piece;
  }
  lines.push_back(std::move(current));
  return lines;
}

}  // namespace kestrel::mime
