// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The MINIMUMMAIL rule: an ARCmail bundle of today (named like 0000FFFE.MO0)
// that is still smaller than MINIMUMMAIL bytes waits for more mail, as its
// mailer keeps adding to it during the day.

#include <cstdint>
#include <optional>
#include <string>

#include "outbound/send_list.h"

namespace kestrel::outbound {

// The bundle's name (at most 80 characters, as the log shows it) when
// `entry` is a listed file held back by the rule; none otherwise, and always
// none with `minimum_mail` 0 or below.
[[nodiscard]] std::optional<std::string> SmallBundleName(const SendEntry& entry,
                                                         std::int32_t minimum_mail);

}  // namespace kestrel::outbound
