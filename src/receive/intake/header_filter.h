// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The decision whether to take a waiting message, made from the head lines
// that TOP returned and the filter lists of the filter file.

#include <string>
#include <string_view>
#include <vector>

#include "config/filters.h"

namespace kestrel::receive {

// Head lines read of TOP's answer: far above real mail (providers add a few
// dozen Received:, ARC-* and DKIM-Signature: lines). A longer head is not
// looked at, and its message is skipped.
inline constexpr std::size_t kMaxHeaderLines = 1000;

// The upper-cased head lines of one message, every one of them. A
// continuation line (starting with a blank or tab) belongs to the line above
// it and is joined to it, so a folded To: or Subject: is searched whole.
class HeaderLines {
 public:
  void Clear();
  void Add(std::string_view line);
  [[nodiscard]] const std::vector<std::string>& lines() const { return lines_; }
  // The value of the Message-ID: field as written (letter case kept), empty
  // when the head has none.
  [[nodiscard]] const std::string& message_id() const { return message_id_; }

 private:
  std::vector<std::string> lines_;
  std::string message_id_;
  bool in_message_id_ = false;  // the last line was the Message-ID: field
};

// True when the accept-all flag is set, or a filter entry occurs in a head
// line with its prefix: "X-MAILER:", "FROM:", "TO:" or "SUBJECT:".
[[nodiscard]] bool AcceptMessage(const config::FilterLists& filters,
                                 const std::vector<std::string>& header_lines);

}  // namespace kestrel::receive
