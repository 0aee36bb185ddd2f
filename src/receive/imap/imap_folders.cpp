// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/imap/imap_folders.h"

#include "mime/ascii_text.h"

namespace kestrel::receive {

std::optional<char> ListedSeparator(std::string_view line) {
  const std::string upper = mime::UpperCase(std::string(line.substr(0, 8)));
  if (upper != "* LIST (") return std::nullopt;
  const std::size_t close = line.find(')', upper.size());
  if (close == std::string_view::npos || close + 1 >= line.size() || line[close + 1] != ' ') {
    return std::nullopt;
  }
  const std::string_view rest = line.substr(close + 2);
  // "\"x\"" or the escaped "\"\\\\\"".
  if (rest.size() >= 3 && rest[0] == '"' && rest[1] != '\\' && rest[2] == '"') return rest[1];
  if (rest.size() >= 4 && rest[0] == '"' && rest[1] == '\\' && rest[3] == '"') return rest[2];
  return std::nullopt;
}

std::string ServerFolderName(std::string_view configured, std::optional<char> separator) {
  std::string name(configured);
  if (!separator) return name;
  for (char& c : name) {
    if (c == '/') c = *separator;
  }
  return name;
}

}  // namespace kestrel::receive
