// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/text_utils.h"

#include <charconv>
#include <string>

#include "platform/clock.h"

namespace kestrel::core {

namespace {

constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string_view Cut(std::string_view text) {
  return text.substr(0, kMaxUtilityText);
}

std::string PadNumber(std::int64_t value, int width, char pad) {
  std::string digits = std::to_string(value);
  const auto w = static_cast<std::size_t>(width < 1 ? 1 : width);
  std::string text(w, pad);
  if (digits.size() > w) {
    text[0] = '?';
    digits.copy(text.data() + 1, w - 1, digits.size() - (w - 1));
  } else {
    digits.copy(text.data() + (w - digits.size()), digits.size());
  }
  return text;
}

// Locates the n-th word: [begin, end) of its characters; false if there is none.
bool FindWord(std::string_view text, int n, std::size_t& begin, std::size_t& end) {
  if (n < 1) return false;
  std::size_t pos = 0;
  for (int word = 1; word <= n; ++word) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    if (pos >= text.size()) return false;
    begin = pos;
    while (pos < text.size() && text[pos] != ' ') ++pos;
    end = pos;
  }
  return true;
}

}  // namespace

std::string ZeroPadNumber(std::int64_t value, int width) {
  return PadNumber(value, width, '0');
}

std::string SpacePadNumber(std::int64_t value, int width) {
  return PadNumber(value, width, ' ');
}

std::string TimeText() {
  const platform::LocalTime now = platform::Now();
  return ZeroPadNumber(now.hour, 2) + ":" + ZeroPadNumber(now.minute, 2) + " ";
}

std::string DateText() {
  const platform::LocalTime now = platform::Now();
  const int month = now.month >= 1 && now.month <= 12 ? now.month : 1;
  return SpacePadNumber(now.day, 2) + "-" + kMonthNames[month - 1] + "-" + std::to_string(now.year);
}

std::int32_t TextToInt(std::string_view text) {
  std::size_t run = 0;
  while (run < text.size() && (text[run] == '-' || (text[run] >= '0' && text[run] <= '9'))) ++run;
  if (run == 0) return 0;
  std::int32_t value = 0;
  const char* first = text.data();
  const char* last = text.data() + run;
  const auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || ptr != last) return 0;
  return value;
}

std::string StripTrailingBackslash(std::string_view path) {
  path = Cut(path);
  // "/" separates as "\" does here; a drive root and the POSIX root stay.
  if (path.empty() || (path.back() != '\\' && path.back() != '/')) return std::string(path);
  if (path.size() == 3 && path[1] == ':') return std::string(path);
  if (path == "/") return std::string(path);
  return std::string(path.substr(0, path.size() - 1));
}

std::string WordAt(std::string_view text, int n) {
  text = Cut(text);
  std::size_t begin = 0, end = 0;
  if (!FindWord(text, n, begin, end)) return {};
  return std::string(text.substr(begin, std::min(end - begin, kMaxWord)));
}

std::string DeleteWord(std::string_view text, int n) {
  text = Cut(text);
  std::size_t begin = 0, end = 0;
  if (!FindWord(text, n, begin, end)) return std::string(text);
  return std::string(text.substr(0, begin)) + std::string(text.substr(end));
}

std::string TrimLeadingBlanks(std::string_view text) {
  text = Cut(text);
  std::size_t pos = 0;
  while (pos < text.size() && text[pos] == ' ') ++pos;
  return std::string(text.substr(pos));
}

std::string PercentText(std::int64_t part, std::int64_t whole) {
  return std::to_string(part * 100 / whole) + "%";
}

}  // namespace kestrel::core
