// SPDX-License-Identifier: GPL-2.0-or-later
// Stored messages are untrusted: the header parser and the kludge reader on
// any bytes, as the netmail scan meets them.

#include <string_view>

#include "core/le_bytes.h"
#include "fido/stored_message.h"
#include "outbound/netmail_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  core::ByteReader reader(bytes);
  if (const auto header = fido::ParseStoredMessageHeader(reader)) {
    if (header->subject.size() > fido::kStoredSubjectSize) __builtin_trap();
    (void)outbound::InspectNetmailText(reader.Rest().substr(0, outbound::kMaxNetmailTextScan));
  }
  (void)outbound::InspectNetmailText(bytes.substr(0, outbound::kMaxNetmailTextScan));
  return 0;
}
