// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Busy flags as the Linux mailers keep them beside a node's files:
// "00ec0064.bsy" while a session runs, "00ec0064.csy" while a call goes out,
// each holding its owner's process id as text ("30836\n"). A flag whose
// owner is gone and that has not been touched for a while, or that is older
// than BSYAGE minutes, is left over.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace kestrel::outbound {

// The flag of a flow file, list or packet (a node's outbound name without
// extension gains one): its name with the extension replaced by "BSY" or
// "CSY", in the letter case of its existing extension, so that mailers which
// match names exactly see it.
[[nodiscard]] std::string BusyFlagName(const std::string& guarded, std::string_view extension);

// The flags that exist for a flow file, list, packet or node, in any letter
// case: their real paths, ".bsy" before ".csy".
[[nodiscard]] std::vector<std::string> PresentBusyFlags(const std::string& guarded);

struct FlagJudgement {
  bool stale = false;
  std::string reason;                       // why it is stale, for the log
  std::optional<platform::FileStamp> seen;  // the flag as judged
};

// Stale: (with max_age_minutes above 0) it has not been touched for that
// long; or the process id it holds is no process of this host and it has not
// been touched for 10 minutes (max_age_minutes when lower): a mailer of
// another host or container sharing the outbound writes ids that never run
// here, and keeps its flag fresh while it works. A flag
// that cannot be judged (empty, unreadable, no number) holds its node.
[[nodiscard]] FlagJudgement JudgeBusyFlag(const std::string& flag, std::uint32_t max_age_minutes);

// Removes a stale flag unless it changed since it was judged (its owner's
// successor took the node meanwhile).
[[nodiscard]] bool RemoveStaleFlag(const std::string& flag, const FlagJudgement& judgement);

// What this program writes into a flag it creates.
[[nodiscard]] std::string OwnFlagContent();

}  // namespace kestrel::outbound
