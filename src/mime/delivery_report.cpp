// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/delivery_report.h"

#include "mime/ascii_text.h"
#include "mime/mime_text.h"

namespace kestrel::mime {
namespace {

// A field is read this far; what is kept of it is cut shorter still.
constexpr std::size_t kMaxFieldRead = 4 * kMaxReportField;

// "rfc822; node@example.org" and "smtp; 550 ...": the value without its type.
std::string_view WithoutType(std::string_view value) {
  const auto semicolon = value.find(';');
  return semicolon == std::string_view::npos ? value : TrimWhitespace(value.substr(semicolon + 1));
}

std::string LowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

std::string ReportField(std::string_view value) {
  return Printable(value.substr(0, kMaxReportField));
}

void ReportPartReader::Line(std::string_view line) {
  if (header_ended_) return;
  if (!line.empty() && IsBlank(line.front())) {  // a folded line: joined with one blank
    if (!field_.empty() && field_.size() < kMaxFieldRead) {
      field_ += ' ';
      field_.append(TrimWhitespace(line).substr(0, kMaxFieldRead - field_.size()));
    }
    return;
  }
  TakeField();
  if (TrimWhitespace(line).empty()) {
    if (kind_ == Kind::ReturnedHeaders) header_ended_ = true;
    EndGroup();
    return;
  }
  field_.assign(line.substr(0, kMaxFieldRead));
}

void ReportPartReader::End() {
  TakeField();
  EndGroup();
  header_ended_ = true;
}

void ReportPartReader::TakeField() {
  const auto colon = field_.find(':');
  if (colon == std::string::npos) {
    field_.clear();
    return;
  }
  const std::string name = UpperCase(TrimWhitespace(std::string_view(field_).substr(0, colon)));
  const std::string_view value = TrimWhitespace(std::string_view(field_).substr(colon + 1));
  if (kind_ == Kind::ReturnedHeaders) {
    if (name == "MESSAGE-ID" && report_.original_message_id.empty()) {
      report_.original_message_id = ReportField(value);
    }
  } else if (name == "FINAL-RECIPIENT") {
    group_.recipient = ReportField(WithoutType(value));
    group_names_recipient_ = true;
  } else if (name == "ORIGINAL-RECIPIENT") {
    original_recipient_ = ReportField(WithoutType(value));
    group_names_recipient_ = true;
  } else if (name == "ACTION") {
    group_.action = LowerCase(ReportField(value));
  } else if (name == "STATUS") {
    group_.status = ReportField(value);
  } else if (name == "DIAGNOSTIC-CODE") {
    group_.diagnostic = ReportField(WithoutType(value));
  }
  field_.clear();
}

// The fields about the message itself name no recipient and are passed over.
void ReportPartReader::EndGroup() {
  if (group_names_recipient_) {
    if (group_.recipient.empty()) group_.recipient = original_recipient_;
    if (report_.recipients.size() < kMaxReportRecipients) {
      report_.recipients.push_back(std::move(group_));
    } else {
      ++report_.recipients_dropped;
    }
  }
  group_ = {};
  group_names_recipient_ = false;
  original_recipient_.clear();
}

std::vector<std::string> DeliveryReportLines(const DeliveryReport& report,
                                             std::string_view number) {
  const std::string message = "-- Message " + std::string(number) + " is a delivery ";
  std::vector<std::string> lines;
  for (const auto& r : report.recipients) {
    const bool failed = r.action.empty() || r.action == "failed";
    std::string line = message + (failed ? "failure report: " : "report (" + r.action + "): ");
    line += (r.recipient.empty() ? "(no recipient named)" : r.recipient) + ":";
    if (!r.status.empty()) line += " " + r.status;
    if (!r.diagnostic.empty()) line += " " + r.diagnostic;
    lines.push_back(std::move(line));
  }
  if (report.recipients.empty()) lines.push_back(message + "failure report: no recipient named");
  if (report.recipients_dropped > 0) {
    lines.push_back("--   ... and " + std::to_string(report.recipients_dropped) +
                    " more recipients");
  }
  if (!report.original_message_id.empty()) {
    lines.push_back("--   It returns message " + report.original_message_id);
  }
  return lines;
}

}  // namespace kestrel::mime
