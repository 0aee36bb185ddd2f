// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A front end that shows nothing: fuzz targets want the code paths, not the output.

#include "core/front_end.h"

namespace kestrel::fuzz {

class NullFrontEnd : public core::FrontEnd {
 public:
  void AppendPaneLine(core::Side, std::string_view) override {}
  void ClearPane(core::Side) override {}
  void SetField(core::Field, std::string_view) override {}
  void SetWaitingIndicator(core::Side, bool) override {}
  [[nodiscard]] bool OnUserInterfaceThread() const override { return false; }
  void ProcessPendingWrites() override {}
};

}  // namespace kestrel::fuzz
