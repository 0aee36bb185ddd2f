// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A set of pieces the sysop hands to the inbound as it is, whole or not: its
// pieces in order as one file "<start of the set's name>.EML", for a person
// to look at. The set leaves the spool only once that file is on the disk.

#include <optional>
#include <string>

#include "receive/partial/partial_spool.h"

namespace kestrel::receive {

// Names tried in the inbound before giving up: "NAME.EML", "NAME_1.EML", ...
inline constexpr int kMaxDeliveryNames = 100;

// The file's name in the inbound; nothing with `error` when it failed (the
// set stays then).
[[nodiscard]] std::optional<std::string> DeliverPieces(const PartialSpool& spool,
                                                       const PartialSet& set,
                                                       const std::string& inbound,
                                                       std::string& error);

}  // namespace kestrel::receive
