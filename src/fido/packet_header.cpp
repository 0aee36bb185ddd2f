// SPDX-License-Identifier: GPL-2.0-or-later
#include "fido/packet_header.h"

namespace kestrel::fido {

namespace {

constexpr std::size_t kPasswordSize = 8;

}  // namespace

std::optional<PacketHeader> ParsePacketHeader(core::ByteReader& reader) {
  PacketHeader h;
  h.orig_node = reader.U16le();
  h.dest_node = reader.U16le();
  h.year = reader.U16le();
  h.month = reader.U16le();
  h.day = reader.U16le();
  h.hour = reader.U16le();
  h.minute = reader.U16le();
  h.second = reader.U16le();
  h.baud = reader.U16le();
  h.packet_type = reader.U16le();
  h.orig_net = reader.U16le();
  h.dest_net = reader.U16le();
  h.product_code_low = reader.U8();
  h.revision_major = reader.U8();
  h.password = reader.FixedString(kPasswordSize);
  h.orig_zone = reader.U16le();
  h.dest_zone = reader.U16le();
  h.aux_net = reader.U16le();
  h.capability_copy = reader.U16le();
  h.product_code_high = reader.U8();
  h.revision_minor = reader.U8();
  h.capability_word = reader.U16le();
  h.orig_zone_2plus = reader.U16le();
  h.dest_zone_2plus = reader.U16le();
  h.orig_point = reader.U16le();
  h.dest_point = reader.U16le();
  h.product_data = reader.U32le();
  if (reader.failed()) return std::nullopt;
  return h;
}

void WritePacketHeader(core::ByteWriter& writer, const PacketHeader& h) {
  writer.U16le(h.orig_node);
  writer.U16le(h.dest_node);
  writer.U16le(h.year);
  writer.U16le(h.month);
  writer.U16le(h.day);
  writer.U16le(h.hour);
  writer.U16le(h.minute);
  writer.U16le(h.second);
  writer.U16le(h.baud);
  writer.U16le(h.packet_type);
  writer.U16le(h.orig_net);
  writer.U16le(h.dest_net);
  writer.U8(h.product_code_low);
  writer.U8(h.revision_major);
  writer.FixedString(h.password, kPasswordSize);
  writer.U16le(h.orig_zone);
  writer.U16le(h.dest_zone);
  writer.U16le(h.aux_net);
  writer.U16le(h.capability_copy);
  writer.U8(h.product_code_high);
  writer.U8(h.revision_minor);
  writer.U16le(h.capability_word);
  writer.U16le(h.orig_zone_2plus);
  writer.U16le(h.dest_zone_2plus);
  writer.U16le(h.orig_point);
  writer.U16le(h.dest_point);
  writer.U32le(h.product_data);
}

}  // namespace kestrel::fido
