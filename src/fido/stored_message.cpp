// SPDX-License-Identifier: GPL-2.0-or-later
#include "fido/stored_message.h"

#include "fido/message_date.h"

namespace kestrel::fido {

namespace {

constexpr std::size_t kNameSize = 36;
// The subject follows the two names; the attribute precedes the last word.
constexpr std::size_t kSubjectOffset = 2 * kNameSize;
constexpr std::size_t kAttributeOffset = kStoredMessageHeaderSize - 4;

}  // namespace

std::optional<StoredMessageHeader> ParseStoredMessageHeader(core::ByteReader& reader) {
  StoredMessageHeader h;
  h.from_name = reader.FixedString(kNameSize);
  h.to_name = reader.FixedString(kNameSize);
  h.subject = reader.FixedString(kStoredSubjectSize);
  h.date_time = std::string(reader.Bytes(kMessageDateSize));
  h.times_read = reader.U16le();
  h.dest_node = reader.U16le();
  h.orig_node = reader.U16le();
  h.cost = reader.U16le();
  h.orig_net = reader.U16le();
  h.dest_net = reader.U16le();
  h.dest_zone = reader.U16le();
  h.orig_zone = reader.U16le();
  h.dest_point = reader.U16le();
  h.orig_point = reader.U16le();
  h.reply_to = reader.U16le();
  h.attribute = reader.U16le();
  h.next_reply = reader.U16le();
  if (reader.failed()) return std::nullopt;
  return h;
}

void WriteStoredMessageHeader(core::ByteWriter& writer, const StoredMessageHeader& h) {
  writer.FixedString(h.from_name, kNameSize);
  writer.FixedString(h.to_name, kNameSize);
  writer.FixedString(h.subject, kStoredSubjectSize);
  writer.FixedString(h.date_time, kMessageDateSize);
  writer.U16le(h.times_read);
  writer.U16le(h.dest_node);
  writer.U16le(h.orig_node);
  writer.U16le(h.cost);
  writer.U16le(h.orig_net);
  writer.U16le(h.dest_net);
  writer.U16le(h.dest_zone);
  writer.U16le(h.orig_zone);
  writer.U16le(h.dest_point);
  writer.U16le(h.orig_point);
  writer.U16le(h.reply_to);
  writer.U16le(h.attribute);
  writer.U16le(h.next_reply);
}

void RewriteStoredSubject(std::string& message, std::string_view subject) {
  std::string field;
  core::ByteWriter(field).FixedString(subject, kStoredSubjectSize);
  message.replace(kSubjectOffset, field.size(), field);
}

void RewriteStoredAttribute(std::string& message, std::uint16_t attribute) {
  std::string word;
  core::ByteWriter(word).U16le(attribute);
  message.replace(kAttributeOffset, word.size(), word);
}

}  // namespace kestrel::fido
