// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A front end for tests that records every pane line, field and indicator.

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/front_end.h"

namespace kestrel::testing {

class RecordingFrontEnd : public core::FrontEnd {
 public:
  void AppendPaneLine(core::Side side, std::string_view line) override;
  void ClearPane(core::Side side) override;
  void SetField(core::Field field, std::string_view text) override;
  void SetWaitingIndicator(core::Side side, bool waiting) override;
  [[nodiscard]] bool OnUserInterfaceThread() const override { return false; }
  void ProcessPendingWrites() override {}

  [[nodiscard]] std::vector<std::string> Lines(core::Side side) const;
  [[nodiscard]] std::string Field(core::Field field) const;
  // Every value a field took, in order.
  [[nodiscard]] std::vector<std::string> FieldHistory(core::Field field) const;
  [[nodiscard]] bool Waiting(core::Side side) const;
  // True when some line of the side equals `line`.
  [[nodiscard]] bool HasLine(core::Side side, const std::string& line) const;
  // The commands the side's pane echoed ("-> " lines), in their order, without the mark.
  [[nodiscard]] std::vector<std::string> Commands(core::Side side) const;
  // True when some line of the side starts with `prefix`.
  [[nodiscard]] bool HasLineStartingWith(core::Side side, const std::string& prefix) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> send_lines_;
  std::vector<std::string> get_lines_;
  std::map<core::Field, std::vector<std::string>> fields_;
  bool send_waiting_ = false;
  bool get_waiting_ = false;
};

}  // namespace kestrel::testing
