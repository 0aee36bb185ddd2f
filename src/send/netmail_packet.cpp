// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/netmail_packet.h"

#include <algorithm>

#include "core/le_bytes.h"
#include "core/text_utils.h"
#include "fido/attributes.h"
#include "fido/packed_message.h"
#include "fido/packet_header.h"
#include "fido/stored_message.h"
#include "platform/file_names.h"
#include "platform/files.h"
#include "platform/program_home.h"
#include "send/message_layout.h"
#include "send/text_conversion.h"

namespace kestrel::send {

namespace {

constexpr std::string_view kWebAddress = "https://kestrel.example.org";
// Product code of the packets written here: low byte 5, high byte 1.
constexpr std::uint8_t kProductCodeLow = 5;
constexpr std::uint8_t kProductCodeHigh = 1;
// Characters searched for the ":" that ends a zone number.
constexpr std::size_t kZoneSearch = 80;
// Characters that can hold a point number.
constexpr std::size_t kPointChars = 5;
// Names tried before giving up when random packet names collide.
constexpr int kPacketNameTries = 20;

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
void DateFromMessage(std::string_view date_time, fido::PacketHeader& header) {
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
fido::PacketHeader PacketHeaderFor(const fido::StoredMessageHeader& message,
                                   const ControlAddresses& addresses) {
  fido::PacketHeader header;
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
fido::PackedMessageHeader PackedHeaderFor(const fido::StoredMessageHeader& message) {
  fido::PackedMessageHeader header;
  header.orig_node = message.orig_node;
  header.dest_node = message.dest_node;
  header.orig_net = message.orig_net;
  header.dest_net = message.dest_net;
  header.attribute = static_cast<std::uint16_t>(message.attribute & ~fido::kAttrLocal);
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
  const std::optional<fido::StoredMessageHeader> message = fido::ParseStoredMessageHeader(reader);
  if (!message) return std::nullopt;
  std::string_view text = reader.Rest();
  text = text.substr(0, text.find('\0'));  // the packed text ends at the first zero byte
  const ControlAddresses addresses = ReadControlAddresses(text);

  std::string packet;
  packet.reserve(fido::kPacketHeaderSize + fido::kPackedMessageFixedSize + 36 * 2 + 72 +
                 text.size() + 64);
  core::ByteWriter writer(packet);
  fido::WritePacketHeader(writer, PacketHeaderFor(*message, addresses));
  fido::WritePackedMessageHeader(writer, PackedHeaderFor(*message));
  packet.append(text);
  packet.append(TearLine());
  writer.U8(0);     // end of the message
  writer.U16le(0);  // end of the packet
  return packet;
}

std::optional<std::int64_t> PackNetmail(outbound::SendEntry& entry, std::int64_t message_size,
                                        outbound::SendList& list, LineSink& sink,
                                        core::FrontEnd& front_end) {
  entry.ListPath = entry.Path;
  // A name that is already taken in the program's home is never overwritten.
  std::string packet_path;
  bool created = false;
  for (int i = 0; i < kPacketNameTries && !created; ++i) {
    packet_path = platform::InHome(RandomPacketName());
    created = platform::CreateFileExclusive(packet_path);
  }
  entry.Path = packet_path;
  if (!created) return std::nullopt;

  std::string message;
  const platform::ReadOutcome outcome = platform::ReadBoundedFile(
      entry.ListPath, fido::kStoredMessageHeaderSize, kMaxTextFileBytes, message);
  std::optional<std::string> packet;
  if (outcome == platform::ReadOutcome::Ok) packet = BuildNetmailPacket(message);
  if (outcome == platform::ReadOutcome::TooLarge) {
    sink.Log("-- Too large to pack: " + entry.ListPath);
  }
  // The packet is written whole or not at all: a partial packet must not be sent.
  if (!packet || !platform::ReplaceFileContent(packet_path, *packet)) {
    (void)platform::DeleteFile(packet_path);
    return std::nullopt;
  }

  const auto packet_size = static_cast<std::int64_t>(packet->size());
  list.TotalBytes = list.TotalBytes - message_size + packet_size;
  front_end.SetField(core::Field::TotalFileSize, std::to_string(list.TotalBytes));
  return packet_size;
}

}  // namespace kestrel::send
