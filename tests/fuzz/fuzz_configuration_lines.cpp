// SPDX-License-Identifier: GPL-2.0-or-later
// Configuration lines of either side, and the filter lines, must never crash.

#include "config/address.h"
#include "config/configuration_line.h"
#include "config/filters.h"
#include "config/text_lines.h"
#include "fuzz_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel;
  const auto lines = fuzz::SplitLines(data, size, config::kMaxTextLine);
  for (core::Side side : {core::Side::Sending, core::Side::Receiving}) {
    config::Configuration configuration;
    config::ResetForRead(side, configuration);
    for (const std::string& line : lines) {
      try {
        config::TakeConfigurationLine(side, line, configuration);
      } catch (const config::ConversionError&) {
        break;  // ends the read, as it does for a malformed OURZONE
      }
    }
  }
  config::FilterLists filters;
  for (const std::string& line : lines) config::TakeFilterLine(line, filters);
  return 0;
}
