// SPDX-License-Identifier: GPL-2.0-or-later
#include "fido/netmail_packet.h"

#include <algorithm>

#include "core/le_bytes.h"
#include "core/text_utils.h"
#include "core/version.h"
#include "fido/attributes.h"
#include "fido/packed_message.h"
#include "fido/packet_header.h"
#include "fido/stored_message.h"

namespace kestrel::fido {

namespace {

constexpr std::string_view kWebAddress = "https://kestrel.example.org";
// Product code of the packets written here: low byte 5, high byte 1.
constexpr std::uint8_t kProductCodeLow = 5;
constexpr std::uint8_t kProductCodeHigh = 1;
// Characters searched for the ":" that ends a zone number.
constexpr std::size_t kZoneSearch = 80;
// Characters that can hold a point number.
constexpr std::size_t kPointChars = 5;

// The number standing `offset` characters after the first control line that
// begins with code 1 and `name`, read from at most `width` characters and cut
// at the first `stop`; 0 without such a line.
std::int32_t ControlNumber(std::string_view text, std::string_view name, std::size_t offset,
                           std::size_t width, char stop) {
  const std::string key = "\x01" + std::string(name);
  const std::size_t at = text.find(key);
  if (at == std::string_view::npos || at + offset > text.size()) return 0;
  std::string_view number = text.substr(at + offset, width);
  number = number.substr(0, number.find(stop));
  return core::TextToInt(number);
}

std::uint16_t Word(std::int32_t value) {
  return static_cast<std::uint16_t>(value);
}

// The packet is dated as its message: "07 Dec 26  12:39:02" (the usual form)
// or "Mon  7 Dec 26 12:39" (SEAdog's). A date that is neither leaves it 0.
void DateFromMessage(std::string_view date_time, PacketHeader& header) {
  static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::string text(date_time.substr(0, date_time.find('\0')));
  if (!text.empty() && (text[0] < '0' || text[0] > '9')) text = core::DeleteWord(text, 1);
  const std::string month = core::WordAt(text, 2);
  const std::string time = core::WordAt(text, 4);
  int month_index = -1;
  for (int i = 0; i < 12; ++i) {
    if (month == kMonths[i]) month_index = i;
  }
  const std::int32_t day = core::TextToInt(core::WordAt(text, 1));
  const std::int32_t year = core::TextToInt(core::WordAt(text, 3));
  if (month_index < 0 || day < 1 || day > 31 || year < 0 || year > 99 || time.size() < 5) return;
  header.year = Word(year < 80 ? 2000 + year : 1900 + year);  // two digits, as written
  header.month = Word(month_index);
  header.day = Word(day);
  header.hour = Word(core::TextToInt(time.substr(0, 2)));
  header.minute = Word(core::TextToInt(time.substr(3, 2)));
  header.second = Word(time.size() >= 8 ? core::TextToInt(time.substr(6, 2)) : 0);
}

// A packet header from the stored message's addresses and its control lines.
PacketHeader PacketHeaderFor(const StoredMessageHeader& message,
                             const ControlAddresses& addresses) {
  PacketHeader header;
  DateFromMessage(message.date_time, header);
  header.orig_node = message.orig_node;
  header.dest_node = message.dest_node;
  header.orig_net = message.orig_net;
  header.dest_net = message.dest_net;
  header.product_code_low = kProductCodeLow;
  header.revision_major = static_cast<std::uint8_t>(core::kVersion.front() - '0');
  header.orig_zone = header.orig_zone_2plus = Word(addresses.origin_zone);
  header.dest_zone = header.dest_zone_2plus = Word(addresses.destination_zone);
  header.product_code_high = kProductCodeHigh;
  header.revision_minor = static_cast<std::uint8_t>(core::TextToInt(core::kVersion.substr(2, 2)));
  header.orig_point = Word(addresses.origin_point);
  header.dest_point = Word(addresses.destination_point);
  return header;
}

// The packed message's header: the stored one's, less the Local bit, which
// belongs to the system that wrote the message.
PackedMessageHeader PackedHeaderFor(const StoredMessageHeader& message) {
  PackedMessageHeader header;
  header.orig_node = message.orig_node;
  header.dest_node = message.dest_node;
  header.orig_net = message.orig_net;
  header.dest_net = message.dest_net;
  header.attribute = static_cast<std::uint16_t>(message.attribute & ~kAttrLocal);
  header.cost = message.cost;
  header.date_time = message.date_time;
  header.to_name = message.to_name;
  header.from_name = message.from_name;
  header.subject = message.subject;
  return header;
}

}  // namespace

std::string TearLine() {
  return "--- Kestrel " + std::string(core::kVersion) + " (" + std::string(kWebAddress) + ")\r";
}

ControlAddresses ReadControlAddresses(std::string_view text) {
  ControlAddresses addresses;
  addresses.origin_point = ControlNumber(text, "FMPT", 6, kPointChars, '\r');
  addresses.destination_point = ControlNumber(text, "TOPT", 6, kPointChars, '\r');
  addresses.origin_zone = ControlNumber(text, "MSGID:", 8, kZoneSearch, ':');
  addresses.destination_zone = ControlNumber(text, "INTL", 6, kZoneSearch, ':');
  if (addresses.destination_zone == 0) addresses.destination_zone = addresses.origin_zone;
  return addresses;
}

std::optional<std::string> BuildNetmailPacket(std::string_view stored_message) {
  core::ByteReader reader(stored_message);
  const std::optional<StoredMessageHeader> message = ParseStoredMessageHeader(reader);
  if (!message) return std::nullopt;
  std::string_view text = reader.Rest();
  text = text.substr(0, text.find('\0'));  // the packed text ends at the first zero byte
  const ControlAddresses addresses = ReadControlAddresses(text);

  std::string packet;
  packet.reserve(kPacketHeaderSize + kPackedMessageFixedSize + 36 * 2 + 72 + text.size() + 64);
  core::ByteWriter writer(packet);
  WritePacketHeader(writer, PacketHeaderFor(*message, addresses));
  WritePackedMessageHeader(writer, PackedHeaderFor(*message));
  packet.append(text);
  packet.append(TearLine());
  writer.U8(0);     // end of the message
  writer.U16le(0);  // end of the packet
  return packet;
}

}  // namespace kestrel::fido
