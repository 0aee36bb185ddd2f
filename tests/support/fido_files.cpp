// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/fido_files.h"

#include "core/le_bytes.h"

namespace kestrel::testing {

std::string EncodeMessageText(const MessageText& text) {
  std::string out;
  for (const std::string& kludge : text.kludges) {
    out.push_back('\x01');
    out.append(kludge);
    out.push_back('\r');
  }
  for (const std::string& line : text.lines) {
    out.append(line);
    out.push_back('\r');
  }
  return out;
}

std::string EncodeStoredMessage(const StoredMessage& message) {
  std::string out;
  core::ByteWriter writer(out);
  fido::WriteStoredMessageHeader(writer, message);
  out.append(EncodeMessageText(message.text));
  if (message.nul_terminated) out.push_back('\0');
  return out;
}

std::optional<DecodedStoredMessage> DecodeStoredMessage(std::string_view bytes) {
  core::ByteReader reader(bytes);
  const std::optional<fido::StoredMessageHeader> header = fido::ParseStoredMessageHeader(reader);
  if (!header) return std::nullopt;
  return DecodedStoredMessage{*header, std::string(reader.Rest())};
}

std::string EncodePacket(const PacketHeader& header, const std::vector<PackedMessage>& messages) {
  std::string out;
  core::ByteWriter writer(out);
  fido::PacketHeader record = header;
  record.orig_zone_2plus = header.orig_zone;
  record.dest_zone_2plus = header.dest_zone;
  fido::WritePacketHeader(writer, record);
  for (const PackedMessage& message : messages) {
    fido::WritePackedMessageHeader(writer, message);
    writer.ZeroEndedString(EncodeMessageText(message.text));
  }
  writer.U16le(0);
  return out;
}

std::optional<DecodedPacket> DecodePacket(std::string_view bytes) {
  core::ByteReader reader(bytes);
  const std::optional<fido::PacketHeader> header = fido::ParsePacketHeader(reader);
  if (!header) return std::nullopt;
  DecodedPacket out{*header, {}, {}};
  for (;;) {
    core::ByteReader ahead = reader;
    if (ahead.U16le() == 0) {
      if (ahead.failed()) return std::nullopt;
      return out;  // the closing zero word
    }
    std::optional<fido::PackedMessageHeader> message = fido::ParsePackedMessageHeader(reader);
    std::string text = reader.ZeroEndedString();
    if (!message || reader.failed()) return std::nullopt;
    out.messages.push_back(std::move(*message));
    out.raw_texts.push_back(std::move(text));
  }
}

std::string TextLines(const std::vector<std::string>& lines, std::string_view line_end) {
  std::string out;
  for (const std::string& line : lines) {
    out.append(line);
    out.append(line_end);
  }
  return out;
}

}  // namespace kestrel::testing
