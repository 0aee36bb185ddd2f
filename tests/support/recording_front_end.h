#pragma once
// A front end for tests that records every pane line, field and indicator.

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/front_end.h"

namespace kestrel::testing {

class RecordingFrontEnd : public app::FrontEnd {
 public:
  void AppendPaneLine(app::Side side, std::string_view line) override;
  void ClearPane(app::Side side) override;
  void SetField(app::Field field, std::string_view text) override;
  void SetWaitingIndicator(app::Side side, bool waiting) override;
  [[nodiscard]] bool OnUserInterfaceThread() const override { return false; }
  void ProcessPendingWrites() override {}

  [[nodiscard]] std::vector<std::string> Lines(app::Side side) const;
  [[nodiscard]] std::string Field(app::Field field) const;
  // Every value a field took, in order.
  [[nodiscard]] std::vector<std::string> FieldHistory(app::Field field) const;
  [[nodiscard]] bool Waiting(app::Side side) const;
  // True when some line of the side equals `line`.
  [[nodiscard]] bool HasLine(app::Side side, const std::string& line) const;
  // True when some line of the side starts with `prefix`.
  [[nodiscard]] bool HasLineStartingWith(app::Side side, const std::string& prefix) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> send_lines_;
  std::vector<std::string> get_lines_;
  std::map<app::Field, std::vector<std::string>> fields_;
  bool send_waiting_ = false;
  bool get_waiting_ = false;
};

}  // namespace kestrel::testing
