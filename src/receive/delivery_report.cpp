// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/delivery_report.h"

#include "core/text_utils.h"
#include "mime/mime_text.h"

namespace kestrel::receive {
namespace {

// A field is read this far; what is kept of it is cut shorter still.
constexpr std::size_t kMaxFieldRead = 4 * kMaxReportField;

// "rfc822; node@example.org" and "smtp; 550 ...": the value without its type.
std::string_view WithoutType(std::string_view value) {
  const auto semicolon = value.find(';');
  return semicolon == std::string_view::npos ? value
                                             : mime::TrimWhitespace(value.substr(semicolon + 1));
}

std::string LowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

std::string ReportField(std::string_view value) {
  return core::Printable(value.substr(0, kMaxReportField));
}

void ReportPartReader::Line(std::string_view line) {
  if (header_ended_) return;
  if (!line.empty() && mime::IsBlank(line.front())) {  // a folded line: joined with one blank
    if (!field_.empty() && field_.size() < kMaxFieldRead) {
      field_ += ' ';
      field_.append(mime::TrimWhitespace(line).substr(0, kMaxFieldRead - field_.size()));
    }
    return;
  }
  TakeField();
  if (mime::TrimWhitespace(line).empty()) {
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
  const std::string name =
      core::UpperCase(mime::TrimWhitespace(std::string_view(field_).substr(0, colon)));
  const std::string_view value = mime::TrimWhitespace(std::string_view(field_).substr(colon + 1));
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

std::optional<std::string> WholeMessageId(std::string_view message_id) {
  const auto open = message_id.find('<');
  const auto at = message_id.rfind('@');
  const auto close = message_id.rfind('>');
  if (open == std::string_view::npos || at == std::string_view::npos ||
      close == std::string_view::npos || !(open < at && at < close)) {
    return std::nullopt;
  }
  std::string_view local = message_id.substr(open + 1, at - open - 1);
  // A piece's own id: the whole message's id and ".NUMBER".
  const auto dot = local.rfind('.');
  if (dot != std::string_view::npos && dot + 1 < local.size() &&
      local.find_first_not_of("0123456789", dot + 1) == std::string_view::npos) {
    local = local.substr(0, dot);
  }
  return "<" + std::string(local) + std::string(message_id.substr(at, close - at + 1));
}

std::vector<std::string> FailedDeliveryLines(const DeliveryReport& report,
                                             const SentMessage& sent) {
  std::vector<std::string> lines;
  for (const auto& r : report.recipients) {
    if (!r.action.empty() && r.action != "failed") continue;
    std::string reason = r.status;
    if (!r.diagnostic.empty()) reason += (reason.empty() ? "" : " ") + r.diagnostic;
    lines.push_back("-- delivery of " + sent.file + " to " + sent.node + " (" +
                    (r.recipient.empty() ? sent.address : r.recipient) +
                    ") failed: " + (reason.empty() ? std::string("no reason given") : reason));
  }
  return lines;
}

}  // namespace kestrel::receive
