// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A stored netmail message packed into a new type 2+ packet, so that it
// arrives at the far end as an ordinary packet file.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/front_end.h"
#include "outbound/send_list.h"
#include "send/line_sink.h"

namespace kestrel::send {

// The tear line closing every packed message, CR included.
[[nodiscard]] std::string TearLine();

// Zones and points taken from the message's control lines.
struct ControlAddresses {
  std::int32_t origin_zone = 0;
  std::int32_t destination_zone = 0;  // the origin zone when INTL is missing or 0
  std::int32_t origin_point = 0;
  std::int32_t destination_point = 0;
};
[[nodiscard]] ControlAddresses ReadControlAddresses(std::string_view text);

// The whole packet built from a stored message (header and text); none when
// the message is shorter than its header.
[[nodiscard]] std::optional<std::string> BuildNetmailPacket(std::string_view stored_message);

// Packs the entry's message (kind NetmailPacket) into a new packet in the
// program's home: the entry's ListPath becomes the message, its Path the
// packet. Corrects list.TotalBytes (message size out, packet size in) and
// shows it in TotalFileSize. Returns the packet's size; none when the message
// could not be read or the packet not written (then no packet exists, and the
// attachment fails to open).
// Remarks go through the sink's Log, as the message data is flowing.
std::optional<std::int64_t> PackNetmail(outbound::SendEntry& entry, std::int64_t message_size,
                                        outbound::SendList& list, LineSink& sink,
                                        core::FrontEnd& front_end);

}  // namespace kestrel::send
