// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// One file's message on its way: the entry it was started for, the busy
// flags of that entry's node, what it carries, and the entries of the send
// list it is for (one per system the file goes to).

#include <cstdint>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "outbound/node_lock.h"
#include "outbound/send_list.h"
#include "send/laid_out_file.h"
#include "send/message_stamp.h"

namespace kestrel::send {

struct FileMessage {
  int current = 0;          // entry whose file the message carries
  outbound::NodeLock lock;  // the busy flags of its node, held while it goes
  std::int64_t size = 0;
  bool unable_to_open = false;
  std::string file_size_text;  // what CurrentFileSize shows
  // A netmail packed into a packet goes as that packet, ours to remove.
  std::string packet_path;
  bool packet_written = false;
  std::string message_id;
  MessageStamp stamp;
  LaidOutFile laid_out;  // a file as attachment
};

// The file the message carries for an entry: a packed netmail's packet
// stands in for its stored message.
[[nodiscard]] const std::string& FileOf(const outbound::SendList& list, const FileMessage& message,
                                        int entry);

// The entries the message is for: the current one and every other still
// pending with the same file.
[[nodiscard]] std::vector<int> EntriesOfFile(const outbound::SendList& list,
                                             const FileMessage& message);

// The redirect an entry goes to; an empty one for an index out of range.
[[nodiscard]] const config::RedirectEntry& RedirectOf(const config::Configuration& configuration,
                                                      const outbound::SendEntry& entry);

// The addresses of EntriesOfFile, each once, in list order.
[[nodiscard]] std::vector<std::string> PlannedRecipients(
    const outbound::SendList& list, const FileMessage& message,
    const config::Configuration& configuration);

}  // namespace kestrel::send
