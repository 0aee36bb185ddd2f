// SPDX-License-Identifier: GPL-2.0-or-later
// A message composed as it goes: netmail as text, a packet as text, packed
// netmail, or a file attached as it is read.
#include <algorithm>

#include "fido/charset_kludge.h"
#include "mime/ascii_text.h"
#include "platform/file_names.h"
#include "platform/files.h"
#include "send/netmail_pack.h"
#include "send/smtp_conversation.h"
#include "send/text_conversion.h"

namespace kestrel::send {

using outbound::SendEntry;
using outbound::SendKind;

namespace {

// The size of a file as the progress fields count it; 0 when it cannot be read.
std::int64_t FileSizeOf(const std::string& path) {
  const auto size = platform::FileSize(path);
  if (!size) return 0;
  return static_cast<std::int64_t>(std::min<std::uint64_t>(*size, INT64_MAX));
}

}  // namespace

net::StepResult SmtpConversation::SendAttachment(FileMessage& message, const SendEntry& entry) {
  // The log shows the real name; the message too, unless UPPERCASENAMES
  // asks a listed file or packet in upper case.
  const std::string& path = FileOf(message, message.current);
  const std::string real_name = platform::BaseName(path);
  const bool upper_case = configuration_.UPPERCASENAMES && (entry.Kind == SendKind::ListedFile ||
                                                            entry.Kind == SendKind::OutboundPacket);
  const std::string name = upper_case ? mime::UpperCase(real_name) : real_name;
  SendTemplateTextPart(sink_, boundary_,
                       ExpandSubjectTemplate(configuration_.SUBJECT, name, message.size),
                       header_template_, name, message.size);
  platform::UniqueFile file = platform::OpenFile(path, "rb");
  if (!file) {
    message.unable_to_open = true;
    return net::StepResult::Of(session_);
  }
  if (entry.Kind == SendKind::NetmailPacket) {
    Log("-- Sending " + platform::BaseName(entry.Path) + " as " + real_name);
  } else {
    Log("-- Sending " + real_name + " " + std::to_string(message.size) + "b");
  }
  SendAttachmentHead(sink_, boundary_,
                     entry.Kind == SendKind::OutboundPacket ? RandomPacketName() : name);
  const net::StepResult sent = TransferFile(message, file.get(), real_name);
  if (!sent.ok()) return sent;
  sink_.SendLine("");
  return net::StepResult::Of(session_);
}

net::StepResult SmtpConversation::SendMessageText(FileMessage& message, const Envelope& envelope) {
  SendEntry& entry = list_.Entry(message.current);
  message.size = FileSizeOf(entry.Path);
  const MessageStamp stamp = StampFor(entry, envelope.recipients);
  message.message_id = stamp.message_id;
  SendMessageHead(sink_, boundary_, RedirectOf(entry), configuration_, stamp);
  TextSendContext text{sink_,
                       front_end_,
                       header_template_,
                       boundary_,
                       progress_.sent_total(),
                       list_.TotalBytes,
                       fido::IconvCharsetName(configuration_.FIDOCHARSET)};
  if (entry.Kind == SendKind::NetmailText) {
    message.unable_to_open = !SendNetmailAsText(text, entry.Path, message.size);
    message.file_size_text = message.unable_to_open ? "" : std::to_string(message.size);
    return net::StepResult::Of(session_);
  }
  if (entry.Kind == SendKind::OutboundPacket && RedirectOf(entry).SendAsText) {
    message.unable_to_open = !SendPacketAsText(text, entry.Path, message.size);
    return net::StepResult::Of(session_);
  }
  if (entry.Kind == SendKind::NetmailPacket) {
    const PackedNetmail packed = PackNetmail(entry.Path, message.size, list_, sink_, front_end_);
    message.packet_path = packed.path;
    message.packet_written = packed.size.has_value();
    message.size = packed.size ? *packed.size : FileSizeOf(packed.path);
  }
  return SendAttachment(message, entry);
}

}  // namespace kestrel::send
