// SPDX-License-Identifier: GPL-2.0-or-later
// Stored messages and packets are untrusted: the text conversion, the line
// cutter and the netmail packer on any bytes.

#include <string>

#include "fido/packed_message.h"
#include "fido/packet_header.h"
#include "send/line_sink.h"
#include "send/netmail_packet.h"
#include "send/text_conversion.h"

namespace {

class CountingSink : public kestrel::send::LineSink {
 public:
  void SendLine(std::string_view line) override {
    if (line.size() > kestrel::send::kMaxSendLine) __builtin_trap();
    ++lines;
  }
  void SendEndOfData() override {}
  [[nodiscard]] bool Aborted() const override { return false; }
  void Log(std::string_view) override {}
  std::size_t lines = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel::send;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  CountingSink sink;
  SendTextLines(sink, bytes);
  const PacketText converted = ConvertPacketText(bytes);
  if (converted.subject && converted.subject->size() > kMaxPacketSubject) __builtin_trap();
  SendTextLines(sink, converted.text);
  (void)ReadControlAddresses(bytes);
  const auto packet = BuildNetmailPacket(bytes);
  if (packet &&
      packet->size() < kestrel::fido::kPacketHeaderSize + kestrel::fido::kPackedMessageFixedSize)
    __builtin_trap();
  return 0;
}
