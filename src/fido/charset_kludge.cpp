// SPDX-License-Identifier: GPL-2.0-or-later
#include "fido/charset_kludge.h"

#include "core/text_utils.h"
#include "mime/ascii_text.h"

namespace kestrel::fido {

namespace {

constexpr char kKludgeMark = '\x01';
// A control line is read this far; charset names are short.
constexpr std::size_t kMaxKludgeLine = 80;

struct Alias {
  std::string_view fido;
  std::string_view iconv;
};
// FidoNet names that iconv spells differently.
constexpr Alias kAliases[] = {
    {"IBMPC", "CP437"},         {"+7_FIDO", "CP866"},      {"+7", "CP866"},
    {"LATIN-1", "ISO-8859-1"},  {"LATIN-2", "ISO-8859-2"}, {"LATIN-5", "ISO-8859-9"},
    {"LATIN-9", "ISO-8859-15"}, {"MAC", "MACINTOSH"},      {"UKR", "CP1125"},
};

// The control line that starts after the mark, up to its line end (any
// control character), upper-cased.
std::string ControlLine(std::string_view text, std::size_t after_mark) {
  std::string_view line = text.substr(after_mark, kMaxKludgeLine);
  std::size_t end = 0;
  while (end < line.size() && static_cast<unsigned char>(line[end]) >= ' ') ++end;
  return mime::UpperCase(line.substr(0, end));
}

// The first word after the colon of a control line's keyword.
std::string FirstValueWord(std::string_view line, std::size_t after_colon) {
  return core::WordAt(line.substr(after_colon), 1);
}

}  // namespace

std::string IconvCharsetName(std::string_view fido_name) {
  const std::string upper = mime::UpperCase(fido_name);
  for (const Alias& alias : kAliases) {
    if (upper == alias.fido) return std::string(alias.iconv);
  }
  return upper;
}

std::optional<std::string> DeclaredCharset(std::string_view text) {
  std::optional<std::string> codepage;
  for (std::size_t at = text.find(kKludgeMark); at != std::string_view::npos;
       at = text.find(kKludgeMark, at + 1)) {
    const std::string line = ControlLine(text, at + 1);
    for (const std::string_view keyword : {"CHRS:", "CHARSET:"}) {
      if (line.rfind(keyword, 0) == 0) {
        const std::string name = FirstValueWord(line, keyword.size());
        if (!name.empty()) return IconvCharsetName(name);
      }
    }
    if (!codepage && line.rfind("CODEPAGE:", 0) == 0) {
      const std::string number = FirstValueWord(line, 9);
      if (!number.empty()) codepage = "CP" + number;
    }
  }
  return codepage;
}

}  // namespace kestrel::fido
