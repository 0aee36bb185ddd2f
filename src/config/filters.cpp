// SPDX-License-Identifier: GPL-2.0-or-later
#include "config/filters.h"

#include <algorithm>

#include "config/text_lines.h"
#include "core/text_utils.h"
#include "mime/ascii_text.h"

namespace kestrel::config {

namespace {

void AddBounded(std::vector<std::string>& list, std::size_t capacity, std::string value) {
  if (list.size() < capacity) list.push_back(std::move(value));
}

}  // namespace

void TakeFilterLine(std::string_view line, FilterLists& filters) {
  if (line.empty() || line[0] == ';') return;
  std::string keyword = mime::UpperCase(core::WordAt(line, 1));
  std::string value = core::TrimLeadingBlanks(core::DeleteWord(line, 1));
  // "FROM:" as mail headers write it, also without a blank after the colon.
  if (const std::size_t colon = keyword.find(':'); colon != std::string::npos) {
    const std::string first = core::TrimLeadingBlanks(line);
    value = core::TrimLeadingBlanks(first.substr(first.find(':') + 1));
    keyword.resize(colon);
  }
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
  value = mime::UpperCase(value);
  if (value.size() > kMaxFilterValue) value.resize(kMaxFilterValue);
  if (keyword == "@ALL") {
    filters.AcceptAll = true;
  } else if (keyword == "XMAILER") {
    AddBounded(filters.XMailer, kMaxXMailerFilters, std::move(value));
  } else if (keyword == "FROM") {
    AddBounded(filters.From, kMaxFromFilters, std::move(value));
  } else if (keyword == "TO") {
    AddBounded(filters.To, kMaxToFilters, std::move(value));
  } else if (keyword == "SUBJECT") {
    AddBounded(filters.Subject, kMaxSubjectFilters, std::move(value));
  } else if (std::find(filters.Unknown.begin(), filters.Unknown.end(), keyword) ==
             filters.Unknown.end()) {
    filters.Unknown.push_back(std::move(keyword));
  }
}

void LoadFilterFile(std::string_view path, FilterLists& filters) {
  filters.Clear();
  TextLineReader reader(path);
  if (!reader.is_open()) return;
  std::string line;
  while (reader.Next(line)) TakeFilterLine(line, filters);
}

}  // namespace kestrel::config
