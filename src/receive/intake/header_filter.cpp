// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/intake/header_filter.h"

#include "mime/ascii_text.h"
#include "mime/mime_text.h"

namespace kestrel::receive {
namespace {

bool AnyEntryIn(const std::vector<std::string>& entries, std::string_view line) {
  for (const auto& entry : entries) {
    if (!entry.empty() && line.find(entry) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace

void HeaderLines::Clear() {
  lines_.clear();
  message_id_.clear();
  in_message_id_ = false;
}

void HeaderLines::Add(std::string_view line) {
  const bool continuation = !line.empty() && (line.front() == ' ' || line.front() == '\t');
  if (continuation && !lines_.empty()) {
    lines_.back() += mime::UpperCase(line);
    if (in_message_id_) message_id_ += mime::TrimBlanks(line);
    return;
  }
  lines_.push_back(mime::UpperCase(line));
  in_message_id_ = message_id_.empty() && mime::StartsWith(lines_.back(), "MESSAGE-ID:");
  if (in_message_id_)
    message_id_ = mime::TrimBlanks(line.substr(std::string_view("MESSAGE-ID:").size()));
}

bool AcceptMessage(const config::FilterLists& filters,
                   const std::vector<std::string>& header_lines) {
  if (filters.AcceptAll) return true;
  for (const auto& line : header_lines) {
    if (mime::StartsWith(line, "X-MAILER:")) {
      if (AnyEntryIn(filters.XMailer, line)) return true;
    } else if (mime::StartsWith(line, "FROM:")) {
      if (AnyEntryIn(filters.From, line)) return true;
    } else if (mime::StartsWith(line, "TO:")) {
      if (AnyEntryIn(filters.To, line)) return true;
    } else if (mime::StartsWith(line, "SUBJECT:")) {
      if (AnyEntryIn(filters.Subject, line)) return true;
    }
  }
  return false;
}

}  // namespace kestrel::receive
