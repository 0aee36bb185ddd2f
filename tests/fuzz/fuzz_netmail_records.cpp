// Stored messages and packets are untrusted: the header parsers and the
// kludge reader on any bytes.

#include <string_view>

#include "outbound/fido_records.h"
#include "outbound/netmail_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel::outbound;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (const auto header = ParseStoredMessageHeader(bytes)) {
    if (header->subject.size() > 72) __builtin_trap();
    const std::string_view text = bytes.substr(kStoredMessageHeaderSize);
    (void)InspectNetmailText(text.substr(0, kMaxNetmailTextScan));
  }
  (void)InspectNetmailText(bytes.substr(0, kMaxNetmailTextScan));
  if (const auto destination = ParsePacketDestination(bytes)) (void)AddressText(*destination);
  (void)ParseFirstMessageAttribute(bytes);
  return 0;
}
