#include "send/netmail_packet.h"

#include <algorithm>

#include "core/text_utils.h"
#include "platform/files.h"
#include "platform/program_home.h"
#include "send/file_bytes.h"
#include "send/message_layout.h"
#include "send/text_conversion.h"

namespace kestrel::send {

namespace {

constexpr std::string_view kWebAddress = "https://kestrel.example.org";
// Product code of the packets written here: low byte 5, high byte 1.
constexpr std::uint8_t kProductCodeLow = 5;
constexpr std::uint8_t kProductCodeHigh = 1;
constexpr std::uint16_t kPacketType = 2;
constexpr std::uint16_t kMessageType = 2;
// Type 2+ capability word and its byte-swapped validation copy.
constexpr std::uint16_t kCapabilityWord = 0x0001;
constexpr std::uint16_t kCapabilityCopy = 0x0100;
constexpr std::uint16_t kAttrLocal = 0x0100;
// Characters searched for the ":" that ends a zone number.
constexpr std::size_t kZoneSearch = 80;
// Characters that can hold a point number.
constexpr std::size_t kPointChars = 5;
// Names tried before giving up when random packet names collide.
constexpr int kPacketNameTries = 20;

struct StoredHeader {
  std::string from_name;
  std::string to_name;
  std::string subject;
  std::string_view date_time;  // 20 bytes
  std::uint16_t dest_node = 0;
  std::uint16_t orig_node = 0;
  std::uint16_t cost = 0;
  std::uint16_t orig_net = 0;
  std::uint16_t dest_net = 0;
  std::uint16_t attribute = 0;
};

StoredHeader ReadStoredHeader(std::string_view message) {
  StoredHeader header;
  ByteReader reader(message);
  header.from_name = reader.FixedString(36);
  header.to_name = reader.FixedString(36);
  header.subject = reader.FixedString(72);
  header.date_time = reader.Bytes(20);
  reader.Seek(166);
  header.dest_node = reader.U16le();
  header.orig_node = reader.U16le();
  header.cost = reader.U16le();
  header.orig_net = reader.U16le();
  header.dest_net = reader.U16le();
  reader.Seek(186);
  header.attribute = reader.U16le();
  return header;
}

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

void PutZeros(std::string& out, std::size_t count) {
  out.append(count, '\0');
}

void PutName(std::string& out, std::string_view name) {
  out.append(name);
  out.push_back('\0');
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
  if (stored_message.size() < kStoredHeaderBytes) return std::nullopt;
  const StoredHeader header = ReadStoredHeader(stored_message);
  std::string_view text = stored_message.substr(kStoredHeaderBytes);
  text = text.substr(0, text.find('\0'));  // the packed text ends at the first zero byte
  const ControlAddresses addresses = ReadControlAddresses(text);

  std::string packet;
  packet.reserve(kPacketHeaderBytes + 34 + 36 * 2 + 72 + text.size() + 64);
  PutU16le(packet, header.orig_node);
  PutU16le(packet, header.dest_node);
  PutZeros(packet, 12);  // date and time of the packet
  PutU16le(packet, 0);   // baud
  PutU16le(packet, kPacketType);
  PutU16le(packet, header.orig_net);
  PutU16le(packet, header.dest_net);
  packet.push_back(static_cast<char>(kProductCodeLow));
  packet.push_back(static_cast<char>(core::kVersion.front() - '0'));  // major revision
  PutZeros(packet, 8);                                                // password
  PutU16le(packet, Word(addresses.origin_zone));
  PutU16le(packet, Word(addresses.destination_zone));
  PutU16le(packet, 0);  // auxiliary net
  PutU16le(packet, kCapabilityCopy);
  packet.push_back(static_cast<char>(kProductCodeHigh));
  packet.push_back(static_cast<char>(core::TextToInt(core::kVersion.substr(2, 2))));  // minor
  PutU16le(packet, kCapabilityWord);
  PutU16le(packet, Word(addresses.origin_zone));
  PutU16le(packet, Word(addresses.destination_zone));
  PutU16le(packet, Word(addresses.origin_point));
  PutU16le(packet, Word(addresses.destination_point));
  PutZeros(packet, 4);  // product data

  PutU16le(packet, kMessageType);
  PutU16le(packet, header.orig_node);
  PutU16le(packet, header.dest_node);
  PutU16le(packet, header.orig_net);
  PutU16le(packet, header.dest_net);
  PutU16le(packet, static_cast<std::uint16_t>(header.attribute & ~kAttrLocal));
  PutU16le(packet, header.cost);
  packet.append(header.date_time);
  PutName(packet, header.to_name);
  PutName(packet, header.from_name);
  PutName(packet, header.subject);
  packet.append(text);
  packet.append(TearLine());
  PutZeros(packet, 1);  // end of the message
  PutZeros(packet, 2);  // end of the packet
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
  const ReadOutcome outcome =
      ReadBoundedFile(entry.ListPath, kStoredHeaderBytes, kMaxTextFileBytes, message);
  std::optional<std::string> packet;
  if (outcome == ReadOutcome::Ok) packet = BuildNetmailPacket(message);
  if (outcome == ReadOutcome::TooLarge) {
    sink.Log("-- Too large to pack: " + entry.ListPath);
  }
  // The packet is written whole or not at all: a partial packet must not be sent.
  if (!packet || !platform::ReplaceFileContent(packet_path, *packet)) {
    (void)platform::DeleteFile(packet_path);
    return std::nullopt;
  }

  const auto packet_size = static_cast<std::int64_t>(packet->size());
  list.TotalBytes = static_cast<std::int32_t>(list.TotalBytes - message_size + packet_size);
  front_end.SetField(core::Field::TotalFileSize, std::to_string(list.TotalBytes));
  return packet_size;
}

}  // namespace kestrel::send
