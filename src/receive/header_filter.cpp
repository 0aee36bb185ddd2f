// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/header_filter.h"

#include "core/text_utils.h"

namespace kestrel::receive {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool AnyEntryIn(const std::vector<std::string>& entries, std::string_view line) {
  for (const auto& entry : entries) {
    if (!entry.empty() && line.find(entry) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace

void HeaderLines::Add(std::string_view line) {
  const bool continuation = !line.empty() && (line.front() == ' ' || line.front() == '\t');
  if (continuation && (dropping_ || !lines_.empty())) {
    if (dropping_) return;
    std::string& above = lines_.back();
    if (above.size() < kMaxHeaderLine) {
      above += core::UpperCase(line.substr(0, kMaxHeaderLine - above.size()));
    }
    return;
  }
  if (lines_.size() >= kMaxHeaderLines) {
    dropping_ = true;
    return;
  }
  lines_.push_back(core::UpperCase(line.substr(0, kMaxHeaderLine)));
}

bool AcceptMessage(const config::FilterLists& filters,
                   const std::vector<std::string>& header_lines) {
  if (filters.AcceptAll) return true;
  for (const auto& line : header_lines) {
    if (StartsWith(line, "X-MAILER:")) {
      if (AnyEntryIn(filters.XMailer, line)) return true;
    } else if (StartsWith(line, "FROM:")) {
      if (AnyEntryIn(filters.From, line)) return true;
    } else if (StartsWith(line, "TO:")) {
      if (AnyEntryIn(filters.To, line)) return true;
    } else if (StartsWith(line, "SUBJECT:")) {
      if (AnyEntryIn(filters.Subject, line)) return true;
    }
  }
  return false;
}

}  // namespace kestrel::receive
