// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Real binary FidoNet files for the tests, written (and read back, for
// checking results) through the fido records: stored messages (*.MSG: header,
// text, NUL) and type 2+ packets (header, packed messages, closing zero word).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fido/attributes.h"
#include "fido/packed_message.h"
#include "fido/packet_header.h"
#include "fido/stored_message.h"

namespace kestrel::testing {

// The text of a message: kludge lines (written as 0x01 + text + CR, before the
// lines) and text lines (each + CR). Kludges are given without the 0x01:
// "INTL 2:236/100 2:236/1", "TOPT 5", "FLAGS KFS".
struct MessageText {
  std::vector<std::string> kludges;
  std::vector<std::string> lines;
};
[[nodiscard]] std::string EncodeMessageText(const MessageText& text);

inline constexpr std::string_view kSampleDate = "06 Dec 26  08:05:00";

// A stored message from "Sysop" to "Joe Sysop", written here (Local). A text
// field that fills its whole field is written without NUL, a longer one is
// cut, so tests can write a subject with no NUL in its 72 bytes.
struct StoredMessage : fido::StoredMessageHeader {
  StoredMessage() {
    from_name = "Sysop";
    to_name = "Joe Sysop";
    date_time = kSampleDate;
    attribute = fido::kAttrLocal;
  }
  MessageText text;
  bool nul_terminated = true;  // false: the file ends right after the text
};

// Header (190 bytes), text, NUL.
[[nodiscard]] std::string EncodeStoredMessage(const StoredMessage& message);

// A stored message read back: its header, and the raw bytes after it in
// `raw_text` (kludges and lines are not split out). Nothing when the bytes
// are shorter than the header.
struct DecodedStoredMessage {
  fido::StoredMessageHeader header;  // date_time holds all 20 bytes
  std::string raw_text;
};
[[nodiscard]] std::optional<DecodedStoredMessage> DecodeStoredMessage(std::string_view bytes);

// What tests set in a packet header; the zones are written in both places.
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

// A packed message from 1:236/1 "Sysop" to "Joe Sysop", and its text.
struct PackedMessage : fido::PackedMessageHeader {
  PackedMessage() {
    orig_node = 1;
    orig_net = 236;
    date_time = kSampleDate;
    to_name = "Joe Sysop";
    from_name = "Sysop";
  }
  MessageText text;
};

// Header, messages, closing zero word.
[[nodiscard]] std::string EncodePacket(const PacketHeader& header,
                                       const std::vector<PackedMessage>& messages);

// A packet read back. Nothing when the header is incomplete or a message is
// cut off; stops at the closing zero word.
struct DecodedPacket {
  fido::PacketHeader header;
  std::vector<fido::PackedMessageHeader> messages;  // date_time holds all 20 bytes
  std::vector<std::string> raw_texts;               // each message's text without its NUL
};
[[nodiscard]] std::optional<DecodedPacket> DecodePacket(std::string_view bytes);

// Lines joined with the given line end after each (flow files, VFIDO lists).
[[nodiscard]] std::string TextLines(const std::vector<std::string>& lines,
                                    std::string_view line_end = "\r\n");

}  // namespace kestrel::testing
