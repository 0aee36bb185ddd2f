#pragma once
// Writers (and readers, for checking results) of real binary FidoNet files:
// stored messages (*.MSG, 190-byte header, then the text ended by NUL) and
// type 2+ packets (58-byte header, packed messages, closing zero word).
// Numbers are little-endian 16-bit, written byte by byte.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::testing {

// Message attribute bits shared by stored and packed messages.
inline constexpr std::uint16_t kAttrPrivate = 0x0001;
inline constexpr std::uint16_t kAttrCrash = 0x0002;
inline constexpr std::uint16_t kAttrReceived = 0x0004;
inline constexpr std::uint16_t kAttrSent = 0x0008;
inline constexpr std::uint16_t kAttrFileAttached = 0x0010;
inline constexpr std::uint16_t kAttrInTransit = 0x0020;
inline constexpr std::uint16_t kAttrKillSent = 0x0080;
inline constexpr std::uint16_t kAttrLocal = 0x0100;

inline constexpr std::size_t kStoredHeaderSize = 190;
inline constexpr std::size_t kPacketHeaderSize = 58;
inline constexpr std::size_t kPackedHeaderSize = 34;  // fixed part of a packed message

// The text of a message: kludge lines (written as 0x01 + text + CR, before the
// lines) and text lines (each + CR). Kludges are given without the 0x01:
// "INTL 2:236/100 2:236/1", "TOPT 5", "FLAGS KFS".
struct MessageText {
  std::vector<std::string> kludges;
  std::vector<std::string> lines;
};
[[nodiscard]] std::string EncodeMessageText(const MessageText& text);

// A stored message. Fixed-size text fields are NUL-padded; a value that fills
// its whole field (36, 36, 72 or 20 bytes) is written without NUL, and a
// longer one is cut, so tests can write a subject with no NUL in its 72 bytes.
struct StoredMessage {
  std::string from_name = "Sysop";
  std::string to_name = "Joe Sysop";
  std::string subject;
  std::string date_time = "06 Dec 26  08:05:00";
  std::uint16_t times_read = 0;
  std::uint16_t dest_node = 0;
  std::uint16_t orig_node = 0;
  std::uint16_t cost = 0;
  std::uint16_t orig_net = 0;
  std::uint16_t dest_net = 0;
  std::uint16_t dest_zone = 0;  // the 8 bytes at 176: zones and points
  std::uint16_t orig_zone = 0;
  std::uint16_t dest_point = 0;
  std::uint16_t orig_point = 0;
  std::uint16_t reply_to = 0;
  std::uint16_t attribute = kAttrLocal;
  std::uint16_t next_reply = 0;
  MessageText text;
  bool nul_terminated = true;  // false: the file ends right after the text
};

// Header (190 bytes), text, NUL.
[[nodiscard]] std::string EncodeStoredMessage(const StoredMessage& message);

// A stored message read back: header fields, and the raw bytes after the
// header in `raw_text` (kludges and lines are not split out). Nothing when
// the bytes are shorter than the header.
struct DecodedStoredMessage {
  StoredMessage header;  // text left empty
  std::string raw_text;
};
[[nodiscard]] std::optional<DecodedStoredMessage> DecodeStoredMessage(std::string_view bytes);

// Packet header of type 2+ (zones also at 34/36, points at 50/52).
struct PacketHeader {
  std::uint16_t orig_node = 1;
  std::uint16_t dest_node = 0;
  std::uint16_t year = 2026;
  std::uint16_t month = 11;  // 0 = January
  std::uint16_t day = 6;
  std::uint16_t hour = 8;
  std::uint16_t minute = 5;
  std::uint16_t second = 0;
  std::uint16_t baud = 0;
  std::uint16_t orig_net = 236;
  std::uint16_t dest_net = 0;
  std::uint8_t product_code = 0xFE;
  std::uint8_t serial = 0;
  std::string password;  // at most 8, NUL-padded
  std::uint16_t orig_zone = 2;
  std::uint16_t dest_zone = 2;
  std::uint16_t orig_point = 0;
  std::uint16_t dest_point = 0;
};

// A packed message: 34 bytes, then to, from, subject and text, each ended by NUL.
struct PackedMessage {
  std::uint16_t orig_node = 1;
  std::uint16_t dest_node = 0;
  std::uint16_t orig_net = 236;
  std::uint16_t dest_net = 0;
  std::uint16_t attribute = 0;
  std::uint16_t cost = 0;
  std::string date_time = "06 Dec 26  08:05:00";  // 20 bytes with its NUL
  std::string to_name = "Joe Sysop";
  std::string from_name = "Sysop";
  std::string subject;
  MessageText text;
};

[[nodiscard]] std::string EncodePacketHeader(const PacketHeader& header);
[[nodiscard]] std::string EncodePackedMessage(const PackedMessage& message);
// Header, messages, closing zero word.
[[nodiscard]] std::string EncodePacket(const PacketHeader& header,
                                       const std::vector<PackedMessage>& messages);

// A packet read back. Nothing when the header is incomplete or a message is
// cut off; stops at the closing zero word.
struct DecodedPacket {
  PacketHeader header;
  std::vector<PackedMessage> messages;  // text in raw_texts, MessageText left empty
  std::vector<std::string> raw_texts;   // each message's text without its NUL
};
[[nodiscard]] std::optional<DecodedPacket> DecodePacket(std::string_view bytes);

// Lines joined with the given line end after each (flow files, VFIDO lists).
[[nodiscard]] std::string TextLines(const std::vector<std::string>& lines,
                                    std::string_view line_end = "\r\n");

}  // namespace kestrel::testing
