// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A file as attachment, its message laid out whole before its envelope, so
// that the message's size is known for SIZE= and for cutting it into pieces.
// Text and packed netmail are composed as they go instead.

#include <cstdint>
#include <string>

#include "config/configuration.h"
#include "outbound/send_list.h"
#include "platform/files.h"
#include "send/line_sink.h"
#include "send/message_pieces.h"
#include "send/message_stamp.h"

namespace kestrel::send {

struct LaidOutFile {
  platform::UniqueFile file;  // read as the BASE64 lines go
  LaidOutMessage laid;
  std::string subject;
};

// True for a listed or attached file, and for a packet that does not go as text.
[[nodiscard]] bool LaysOut(const outbound::SendEntry& entry, const config::RedirectEntry& redirect);

// Opens the file at `path` and takes its size; false when it cannot be
// opened or looked at.
[[nodiscard]] bool OpenToLayOut(const std::string& path, LaidOutFile& out);

// What the head of a file's message is made of.
struct FileMessageHead {
  const config::RedirectEntry& redirect;
  const config::Configuration& configuration;
  const std::string& header_template;
  const MessageStamp& stamp;
};

// Lays out the message of the opened file of `entry`: the head, the text part
// from the template and the attachment head, then the closing; `size` as the
// subject and the template show it. The template's remarks go to `remarks`.
void LayOutFileMessage(LaidOutFile& out, const outbound::SendEntry& entry, std::int64_t size,
                       const FileMessageHead& head, LineSink& remarks);

}  // namespace kestrel::send
