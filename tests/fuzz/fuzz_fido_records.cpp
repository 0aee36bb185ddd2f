// SPDX-License-Identifier: GPL-2.0-or-later
// The FidoNet record parsers on any bytes: read as a packet (header and
// packed messages) and as a stored message. Whatever a parser accepts, its
// writer writes back into bytes that parse to the same record.

#include <string>
#include <string_view>

#include "core/le_bytes.h"
#include "fido/packed_message.h"
#include "fido/packet_header.h"
#include "fido/stored_message.h"

namespace {

using namespace kestrel;

// Messages read from one input at most: enough to walk every byte of it.
constexpr int kMaxMessages = 1000;

template <typename Record>
void CheckRoundTrip(const Record& record, std::optional<Record> (*parse)(core::ByteReader&),
                    void (*write)(core::ByteWriter&, const Record&)) {
  std::string bytes;
  core::ByteWriter writer(bytes);
  write(writer, record);
  core::ByteReader reader(bytes);
  const std::optional<Record> again = parse(reader);
  if (!again || !(*again == record) || !reader.Rest().empty()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  core::ByteReader packet(bytes);
  if (const auto header = fido::ParsePacketHeader(packet)) {
    CheckRoundTrip(*header, fido::ParsePacketHeader, fido::WritePacketHeader);
    for (int i = 0; i < kMaxMessages; ++i) {
      const auto message = fido::ParsePackedMessageHeader(packet);
      if (!message) break;
      CheckRoundTrip(*message, fido::ParsePackedMessageHeader, fido::WritePackedMessageHeader);
      (void)packet.ZeroEndedString();  // the text
    }
  }

  core::ByteReader stored(bytes);
  if (const auto header = fido::ParseStoredMessageHeader(stored)) {
    CheckRoundTrip(*header, fido::ParseStoredMessageHeader, fido::WriteStoredMessageHeader);
    // The bookkeeping's rewrites keep the size and read back as written.
    std::string message(bytes);
    fido::RewriteStoredSubject(message, header->to_name + header->subject);
    fido::RewriteStoredAttribute(message, static_cast<std::uint16_t>(~header->attribute));
    core::ByteReader reader(message);
    const auto changed = fido::ParseStoredMessageHeader(reader);
    if (message.size() != bytes.size() || !changed ||
        changed->subject !=
            (header->to_name + header->subject).substr(0, fido::kStoredSubjectSize) ||
        changed->attribute != static_cast<std::uint16_t>(~header->attribute))
      __builtin_trap();
  }
  return 0;
}
