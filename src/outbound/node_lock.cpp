// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/node_lock.h"

#include <cerrno>
#include <set>

#include "outbound/busy_flag.h"
#include "platform/files.h"

namespace kestrel::outbound {

namespace {

// Busy flags are touched this often while a file goes.
constexpr auto kTouchInterval = std::chrono::seconds(60);

}  // namespace

// True when the node is free and its flags are now ours; false (entry to be
// skipped) when another program holds it. Flags left behind by a program
// that is gone (or older than BSYAGE) are removed first.
bool NodeLock::Take(const SendList& list, int current_entry, std::uint32_t bsyage,
                    const Remark& log) {
  const SendEntry& current = list.Entry(current_entry);
  // The flow files, lists or packet guarded: one per flag, as a node's flow
  // files (.flo, .clo, .hlo) share the node's one flag.
  std::vector<std::string> guarded;
  std::set<std::string> flag_names;
  if (current.Kind == SendKind::OutboundPacket) {
    guarded.push_back(current.Path);
  } else if (current.Kind == SendKind::ListedFile) {
    for (const int i : list.EntriesWithPath(current.Path)) {
      const SendEntry& entry = list.Entry(i);
      if (entry.Kind == SendKind::ListedFile &&
          flag_names.insert(BusyFlagName(entry.ListPath, "BSY")).second) {
        guarded.push_back(entry.ListPath);
      }
    }
  }
  const bool quiet = current.Kind == SendKind::OutboundPacket;
  bool busy = false;
  for (const auto& path : guarded) {
    // A .csy flag (a call in progress) holds the node as firmly as a .bsy.
    for (const std::string& flag : PresentBusyFlags(path)) {
      const FlagJudgement judgement = JudgeBusyFlag(flag, bsyage);
      if (RemoveStaleFlag(flag, judgement)) {
        log("--   Stale busy flag removed (" + flag + ", " + judgement.reason + ")");
        continue;
      }
      if (!quiet) {
        log("--   Busy file found skipping (" + flag + ")");
        log("--   Holder: " + HolderText(judgement));
      }
      busy = true;
      break;
    }
  }
  if (busy) return false;
  const std::string content = OwnFlagContent();
  for (const auto& path : guarded) {
    const std::string flag = BusyFlagName(path, "BSY");
    const bool created = platform::CreateFileExclusive(flag, content);
    const bool taken = !created && errno == EEXIST;
    if (created) {
      flags_.push_back(flag);
    } else if (taken || !PresentBusyFlags(path).empty()) {
      // Another program took the node a moment ago (a flag of any kind, a
      // lock link included): give back what we took.
      if (!quiet) log("--   Busy file found skipping (" + flag + ")");
      Drop();
      return false;
    }  // a flag that cannot be created is ignored
  }
  return true;
}

// A long transfer keeps its flags young, so that the mailers' age limit (and
// BSYAGE of another run) does not take them for left behind.
void NodeLock::KeepFresh() {
  const auto now = std::chrono::steady_clock::now();
  if (now - touched_ < kTouchInterval) return;
  touched_ = now;
  for (const auto& flag : flags_) (void)platform::TouchFile(flag);
}

void NodeLock::Drop() {
  for (const auto& flag : flags_) (void)platform::DeleteFile(flag);
  flags_.clear();
}

}  // namespace kestrel::outbound
