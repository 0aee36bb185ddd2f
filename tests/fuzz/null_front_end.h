#pragma once
// A front end that shows nothing: fuzz targets want the code paths, not the output.

#include "app/front_end.h"

namespace kestrel::fuzz {

class NullFrontEnd : public app::FrontEnd {
 public:
  void AppendPaneLine(app::Side, std::string_view) override {}
  void ClearPane(app::Side) override {}
  void SetField(app::Field, std::string_view) override {}
  void SetWaitingIndicator(app::Side, bool) override {}
  [[nodiscard]] bool OnUserInterfaceThread() const override { return false; }
  void ProcessPendingWrites() override {}
};

}  // namespace kestrel::fuzz
