// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A stored netmail message packed into a new type 2+ packet, so that it
// arrives at the far end as an ordinary packet file.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::fido {

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

}  // namespace kestrel::fido
