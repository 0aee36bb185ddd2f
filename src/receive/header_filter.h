// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The decision whether to take a waiting message, made from the head lines
// that TOP returned and the filter lists of the filter file.

#include <string>
#include <string_view>
#include <vector>

#include "config/filters.h"

namespace kestrel::receive {

// Head lines looked at: the first 25, each cut to 128 characters.
inline constexpr std::size_t kMaxHeaderLines = 25;
inline constexpr std::size_t kMaxHeaderLine = 128;

// The upper-cased head lines of one message. A continuation line (starting
// with a blank or tab) belongs to the line above it and is joined to it, so
// a folded To: or Subject: is searched whole.
class HeaderLines {
 public:
  void Clear() {
    lines_.clear();
    dropping_ = false;
  }
  void Add(std::string_view line);
  [[nodiscard]] const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
  bool dropping_ = false;  // past the 25th line: continuations are dropped too
};

// True when the accept-all flag is set, or a filter entry occurs in a head
// line with its prefix: "X-MAILER:", "FROM:", "TO:" or "SUBJECT:".
[[nodiscard]] bool AcceptMessage(const config::FilterLists& filters,
                                 const std::vector<std::string>& header_lines);

}  // namespace kestrel::receive
