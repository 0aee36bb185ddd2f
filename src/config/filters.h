// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The receiving side's filter lists, loaded from the filter file beside the
// program at each read of the receiving configuration.

#include <string>
#include <string_view>
#include <vector>

namespace kestrel::config {

inline constexpr std::size_t kMaxXMailerFilters = 25;
inline constexpr std::size_t kMaxFromFilters = 50;
inline constexpr std::size_t kMaxToFilters = 25;
inline constexpr std::size_t kMaxSubjectFilters = 50;
inline constexpr std::size_t kMaxFilterValue = 79;

struct FilterLists {
  bool AcceptAll = false;
  std::vector<std::string> XMailer;  // values upper-cased, in file order
  std::vector<std::string> From;
  std::vector<std::string> To;
  std::vector<std::string> Subject;
  // Keywords of the file that mean nothing here, each once, in file order.
  std::vector<std::string> Unknown;

  void Clear() { *this = FilterLists{}; }
};

// Takes one line of the filter file (at most 255 characters, no line end):
// "KEYWORD value", "KEYWORD: value" or "KEYWORD:value"; blanks and tabs at the
// end are not part of the value.
void TakeFilterLine(std::string_view line, FilterLists& filters);

// Clears the lists, then reads the file when it can be opened.
void LoadFilterFile(std::string_view path, FilterLists& filters);

}  // namespace kestrel::config
