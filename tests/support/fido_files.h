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

// A packet from 2:236/1 to zone 2, made 06 Dec 2026 08:05:00; the zones are
// written in both places.
struct PacketHeader : fido::PacketHeader {
  PacketHeader() {
    orig_node = 1;
    orig_net = 236;
    year = 2026;
    month = 11;  // 0 = January
    day = 6;
    hour = 8;
    minute = 5;
    product_code_low = 0xFE;
    orig_zone = 2;
    dest_zone = 2;
  }
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
