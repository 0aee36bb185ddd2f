// SPDX-License-Identifier: GPL-2.0-or-later
// Address completion, outbound names and the remap substitution on any text.

#include <string>

#include "config/address.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel::config;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string completed = CompleteAddress(text, 2);
  try {
    (void)OutboundPath(completed, "/FIDO/OUTBOUND", 2);
  } catch (const ConversionError&) {
  }
  const std::size_t half = text.size() / 2;
  (void)ApplyRemap(text, text.substr(0, half / 2), text.substr(half), 255);
  return 0;
}
