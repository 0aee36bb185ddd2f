// SPDX-License-Identifier: GPL-2.0-or-later
// Stored messages and packets are untrusted: the text conversion, the charset
// conversion, the line cutter and the netmail packer on any bytes.

#include <string>

#include "fido/netmail_packet.h"
#include "fido/packed_message.h"
#include "fido/packet_header.h"
#include "mime/charset_conversion.h"
#include "mime/quoted_printable.h"
#include "send/line_sink.h"
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

// Converted text is well-formed UTF-8 and goes out in lines a sink carries.
void CheckMailText(const kestrel::send::MailText& mail, CountingSink& sink) {
  using namespace kestrel;
  if (mail.utf8 && (!mime::IsUtf8(mail.text) || !mime::IsUtf8(mail.subject))) __builtin_trap();
  const auto encoding =
      send::ChooseTextEncoding(send::TextLinesAreAscii(mail.text, mail.utf8), mail.utf8);
  send::SendTextLines(sink, mail.text, encoding, mail.utf8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel::send;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  CountingSink sink;
  SendTextLines(sink, bytes);
  const PacketText converted = ConvertPacketText(bytes);
  if (converted.subject && converted.subject->size() > kMaxPacketSubject) __builtin_trap();
  SendTextLines(sink, converted.text);
  // The first bytes choose the charset when the text declares none.
  const std::string fallback = size > 0 && data[0] % 2 ? "UTF-8" : "CP866";
  CheckMailText(NetmailMailText(bytes, bytes.substr(0, 72), fallback), sink);
  CheckMailText(PacketMailText(converted, fallback), sink);
  for (const auto& line : kestrel::mime::QuotedPrintableLines(bytes.substr(0, 1000))) {
    if (line.size() > kestrel::mime::kMaxQuotedPrintableLine) __builtin_trap();
  }
  (void)kestrel::fido::ReadControlAddresses(bytes);
  const auto packet = kestrel::fido::BuildNetmailPacket(bytes);
  if (packet &&
      packet->size() < kestrel::fido::kPacketHeaderSize + kestrel::fido::kPackedMessageFixedSize)
    __builtin_trap();
  return 0;
}
