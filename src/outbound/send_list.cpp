// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/send_list.h"

#include <utility>

namespace kestrel::outbound {

bool SendList::Add(SendEntry entry) {
  if (Full()) return false;
  entry.State = SendState::Pending;
  by_path_[entry.Path].push_back(Count() + 1);
  entries_.push_back(std::move(entry));
  return true;
}

void SendList::Clear() {
  entries_.clear();
  by_path_.clear();
  TotalBytes = 0;
  Problems = false;
  Listed.reset();
}

bool SendList::HasEarlierPath(const std::string& path, int before_index) const {
  const int limit = (before_index <= 0 || before_index > Count()) ? Count() + 1 : before_index;
  const std::vector<int>& same = EntriesWithPath(path);
  return !same.empty() && same.front() < limit;
}

const std::vector<int>& SendList::EntriesWithPath(const std::string& path) const {
  static const std::vector<int> kNone;
  const auto found = by_path_.find(path);
  return found == by_path_.end() ? kNone : found->second;
}

}  // namespace kestrel::outbound
