// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A line sink for tests: keeps every line, the end of data as ".", and every
// remark logged while data flows.

#include <string>
#include <string_view>
#include <vector>

#include "send/line_sink.h"

namespace kestrel::testing {

class RecordingSink : public send::LineSink {
 public:
  void SendLine(std::string_view line) override {
    if (aborted_) return;
    if (line.size() > send::kMaxSendLine) over_long = true;
    lines.emplace_back(line);
    if (abort_after > 0 && lines.size() >= abort_after) aborted_ = true;
  }
  void SendEndOfData() override {
    if (!aborted_) lines.emplace_back(".");
  }
  [[nodiscard]] bool Aborted() const override { return aborted_; }
  void Log(std::string_view text) override { remarks.emplace_back(text); }

  std::vector<std::string> lines;
  std::vector<std::string> remarks;
  bool over_long = false;
  std::size_t abort_after = 0;  // abort once this many lines were sent (0: never)

 private:
  bool aborted_ = false;
};

}  // namespace kestrel::testing
