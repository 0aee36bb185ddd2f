// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Delivery status notifications (bounces, RFC 3464 and RFC 6533): a mail
// server's word that a message did not reach its recipient. Nothing in one is
// a file to toss; what it says about each recipient is read from its
// machine-readable parts so that the log can name the recipient and the
// reason.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::mime {

// Recipients kept of one report; more are counted.
inline constexpr std::size_t kMaxReportRecipients = 20;
// Each field kept is cut to this many bytes.
inline constexpr std::size_t kMaxReportField = 200;

struct DeliveryReport {
  struct Recipient {
    std::string recipient;   // Final-Recipient, else Original-Recipient, without "rfc822;"
    std::string action;      // "failed", "delayed", ... (lower case)
    std::string status;      // "5.1.1"
    std::string diagnostic;  // Diagnostic-Code, folded lines joined, without "smtp;"
  };
  std::vector<Recipient> recipients;
  std::size_t recipients_dropped = 0;
  std::string original_message_id;  // of the message it returns, when it does
};

// A field's value as a report keeps it: cut to kMaxReportField bytes,
// control characters shown as "?".
[[nodiscard]] std::string ReportField(std::string_view value);

// Reads one machine-readable part of a report, line by line, into `report`:
// the delivery-status fields (the fields about the message, then a group per
// recipient, groups parted by empty lines), or the returned message's header
// fields, of which its Message-ID counts.
class ReportPartReader {
 public:
  enum class Kind { DeliveryStatus, ReturnedHeaders };

  ReportPartReader(DeliveryReport& report, Kind kind) : report_(report), kind_(kind) {}

  // One line, without its line end.
  void Line(std::string_view line);
  // The part has ended.
  void End();

 private:
  void TakeField();
  void EndGroup();

  DeliveryReport& report_;
  const Kind kind_;
  bool header_ended_ = false;  // the returned header's empty line came
  std::string field_;          // with its continuations, bounded
  DeliveryReport::Recipient group_;
  bool group_names_recipient_ = false;  // the group is about a recipient
  std::string original_recipient_;
};

// Lines for the log about message `number`, one per recipient:
// "-- Message 3 is a delivery failure report: RECIPIENT: STATUS DIAGNOSTIC"
// (a report of another action, such as "delayed", says so instead), then
// the returned message's Message-ID when known.
[[nodiscard]] std::vector<std::string> DeliveryReportLines(const DeliveryReport& report,
                                                           std::string_view number);

}  // namespace kestrel::mime
