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
// case: their real paths, ".bsy" before ".csy". The extension in upper and in
// lower case is tried as written first; other letter cases are found by a
// look-up of the directory (one read of it while a DirectoryView lives).
[[nodiscard]] std::vector<std::string> PresentBusyFlags(const std::string& guarded);

// A node held longer than this is a problem the sysop must see: mailers keep
// a session's flag for minutes, and a flag that holds for an hour is most
// likely left over by a program this host cannot judge.
inline constexpr std::int64_t kLongHoldSeconds = 60 * 60;

struct FlagJudgement {
  bool stale = false;
  std::string reason;                       // why it is stale, for the log
  std::optional<platform::FileStamp> seen;  // the flag as judged
  std::optional<long> pid;                  // the process id it holds, if it holds one
  bool running = false;                     // that process runs on this host
};

// Who holds the node and since when, for the log: "process 30836, since
// 2026-12-08 01:02:03" (the flag's time of last change, local time); "process
// 30836 not running here, ..." or "no process id, ..." when so.
[[nodiscard]] std::string HolderText(const FlagJudgement& judgement);

// True when the flag was last touched more than kLongHoldSeconds ago.
[[nodiscard]] bool HeldLong(const FlagJudgement& judgement);

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
