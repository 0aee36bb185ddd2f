// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/delivery_report.h"

#include <gtest/gtest.h>

namespace kestrel::mime {
namespace {

// A hostile report: more recipients than are kept, endless folded fields,
// control characters.
TEST(DeliveryReport, HostileReportsAreBounded) {
  DeliveryReport report;
  ReportPartReader status(report, ReportPartReader::Kind::DeliveryStatus);
  for (int i = 0; i < 25; ++i) {
    status.Line("Final-Recipient: rfc822; r" + std::to_string(i) + "\x1b[2J@example.org");
    status.Line("Diagnostic-Code: smtp; 550");
    for (int k = 0; k < 100; ++k) status.Line("  " + std::string(50, 'x'));
    status.Line("");
  }
  status.End();
  ASSERT_EQ(report.recipients.size(), kMaxReportRecipients);
  EXPECT_EQ(report.recipients_dropped, 5u);
  EXPECT_EQ(report.recipients[0].recipient, "r0?[2J@example.org");
  EXPECT_EQ(report.recipients[0].diagnostic.size(), kMaxReportField);
  EXPECT_EQ(report.recipients[0].diagnostic.substr(0, 7), "550 xxx");

  ReportPartReader headers(report, ReportPartReader::Kind::ReturnedHeaders);
  for (const char* line : {"Subject: x", "Message-ID:", " <first@example.org>", "",
                           "Message-ID: <body@example.org>"}) {
    headers.Line(line);
  }
  headers.End();
  EXPECT_EQ(report.original_message_id, "<first@example.org>");
  EXPECT_EQ(DeliveryReportLines(report, "1").size(), kMaxReportRecipients + 2);
}

}  // namespace
}  // namespace kestrel::mime
