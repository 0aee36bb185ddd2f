// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/sender_address.h"

#include <algorithm>

#include "mime/mime_text.h"

namespace kestrel::mime {
namespace {

// Without "(comments)", which may hold anything, even "<" and "@".
std::string WithoutComments(std::string_view text) {
  std::string kept;
  int depth = 0;
  for (const char c : text) {
    if (c == '(') {
      ++depth;
    } else if (c == ')' && depth > 0) {
      --depth;
    } else if (depth == 0) {
      kept += c;
    }
  }
  return kept;
}

std::string Lowered(std::string_view text) {
  std::string lower(text.substr(0, kMaxSenderBytes));
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

}  // namespace

std::string SenderAddress(std::string_view from_field) {
  const std::string field = WithoutComments(from_field);
  const std::string_view text = field;
  // "Name <address>": the last angle pair, since a quoted name may hold one.
  const std::size_t open = text.rfind('<');
  if (open != std::string_view::npos) {
    const std::size_t close = text.find('>', open);
    return Lowered(mime::TrimWhitespace(text.substr(open + 1, close - open - 1)));
  }
  // A bare address: the first word with an "@" in it, else the whole value.
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t begin = text.find_first_not_of(" \t\r,", at);
    if (begin == std::string_view::npos) break;
    const std::size_t end = std::min(text.find_first_of(" \t\r,", begin), text.size());
    const std::string_view word = text.substr(begin, end - begin);
    if (word.find('@') != std::string_view::npos) return Lowered(word);
    at = end;
  }
  return Lowered(mime::TrimWhitespace(text));
}

}  // namespace kestrel::mime
