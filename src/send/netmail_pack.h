// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A stored netmail packed into a packet file of its own in the program's
// home, so that it goes as an attachment like any packet.

#include <cstdint>
#include <optional>
#include <string>

#include "core/front_end.h"
#include "outbound/send_list.h"
#include "send/line_sink.h"

namespace kestrel::send {

struct PackedNetmail {
  std::string path;                  // the packet's name, also when it could not be written
  std::optional<std::int64_t> size;  // none: no packet exists, and the attachment fails to open
};

// Packs the stored message at `message_path` into a new packet. On success
// corrects list.TotalBytes (message size out, packet size in) and shows it in
// TotalFileSize; the message itself is left as it is. Remarks go through the
// sink's Log, as the message data is flowing.
[[nodiscard]] PackedNetmail PackNetmail(const std::string& message_path, std::int64_t message_size,
                                        outbound::SendList& list, LineSink& sink,
                                        core::FrontEnd& front_end);

}  // namespace kestrel::send
