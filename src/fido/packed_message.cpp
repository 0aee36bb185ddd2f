// SPDX-License-Identifier: GPL-2.0-or-later
#include "fido/packed_message.h"

#include "fido/message_date.h"

namespace kestrel::fido {

std::optional<PackedMessageHeader> ParsePackedMessageFixedPart(core::ByteReader& reader) {
  PackedMessageHeader h;
  h.message_type = reader.U16le();
  h.orig_node = reader.U16le();
  h.dest_node = reader.U16le();
  h.orig_net = reader.U16le();
  h.dest_net = reader.U16le();
  h.attribute = reader.U16le();
  h.cost = reader.U16le();
  h.date_time = std::string(reader.Bytes(kMessageDateSize));
  if (reader.failed()) return std::nullopt;
  return h;
}

std::optional<PackedMessageHeader> ParsePackedMessageHeader(core::ByteReader& reader) {
  std::optional<PackedMessageHeader> h = ParsePackedMessageFixedPart(reader);
  if (!h) return std::nullopt;
  h->to_name = reader.ZeroEndedString();
  h->from_name = reader.ZeroEndedString();
  h->subject = reader.ZeroEndedString();
  if (reader.failed()) return std::nullopt;
  return h;
}

void WritePackedMessageHeader(core::ByteWriter& writer, const PackedMessageHeader& h) {
  writer.U16le(h.message_type);
  writer.U16le(h.orig_node);
  writer.U16le(h.dest_node);
  writer.U16le(h.orig_net);
  writer.U16le(h.dest_net);
  writer.U16le(h.attribute);
  writer.U16le(h.cost);
  writer.FixedString(h.date_time, kMessageDateSize);
  writer.ZeroEndedString(h.to_name);
  writer.ZeroEndedString(h.from_name);
  writer.ZeroEndedString(h.subject);
}

}  // namespace kestrel::fido
