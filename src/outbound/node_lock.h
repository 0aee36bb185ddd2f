// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The busy flags (.bsy, holding our process id) that guard a node's outbound
// while one of its files goes, held as a scoped lock: taken before, kept
// fresh during, dropped when the lock ends. Flags left behind by a program
// that is gone are removed first.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "outbound/send_list.h"

namespace kestrel::outbound {

class NodeLock {
 public:
  using Remark = std::function<void(const std::string&)>;

  NodeLock() = default;
  ~NodeLock() { Drop(); }
  NodeLock(const NodeLock&) = delete;
  NodeLock& operator=(const NodeLock&) = delete;

  // For the file of entry `current_entry`: true when its node is free and
  // its flags are now held; false (the entry to be skipped) when another
  // program holds it. A node's flow files (.flo, .clo, .hlo) share its one
  // flag. Lines for the log go to `log`.
  [[nodiscard]] bool Take(const SendList& list, int current_entry, std::uint32_t bsyage,
                          const Remark& log);
  // Touches the flags when a minute has passed since they were last touched.
  void KeepFresh();

 private:
  // Deletes the flags taken; failures are ignored.
  void Drop();

  std::vector<std::string> flags_;
  std::chrono::steady_clock::time_point touched_ = std::chrono::steady_clock::now();
};

}  // namespace kestrel::outbound
