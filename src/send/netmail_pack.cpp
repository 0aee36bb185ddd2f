// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/netmail_pack.h"

#include "fido/netmail_packet.h"
#include "fido/stored_message.h"
#include "platform/files.h"
#include "platform/program_home.h"
#include "send/message_layout.h"
#include "send/text_conversion.h"

namespace kestrel::send {

namespace {

// Names tried before giving up when random packet names collide.
constexpr int kPacketNameTries = 20;

}  // namespace

PackedNetmail PackNetmail(const std::string& message_path, std::int64_t message_size,
                          outbound::SendList& list, LineSink& sink, core::FrontEnd& front_end) {
  PackedNetmail packed;
  // A name that is already taken in the program's home is never overwritten.
  bool created = false;
  for (int i = 0; i < kPacketNameTries && !created; ++i) {
    packed.path = platform::InHome(RandomPacketName());
    created = platform::CreateFileExclusive(packed.path);
  }
  if (!created) return packed;

  std::string message;
  const platform::ReadOutcome outcome = platform::ReadBoundedFile(
      message_path, fido::kStoredMessageHeaderSize, kMaxTextFileBytes, message);
  std::optional<std::string> packet;
  if (outcome == platform::ReadOutcome::Ok) packet = fido::BuildNetmailPacket(message);
  if (outcome == platform::ReadOutcome::TooLarge) sink.Log("-- Too large to pack: " + message_path);
  // The packet is written whole or not at all: a partial packet must not be sent.
  if (!packet || !platform::ReplaceFileContent(packed.path, *packet)) {
    (void)platform::DeleteFile(packed.path);
    return packed;
  }

  packed.size = static_cast<std::int64_t>(packet->size());
  list.TotalBytes = list.TotalBytes - message_size + *packed.size;
  front_end.SetField(core::Field::TotalFileSize, std::to_string(list.TotalBytes));
  return packed;
}

}  // namespace kestrel::send
