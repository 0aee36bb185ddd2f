// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/send_list.h"

#include <utility>

namespace kestrel::outbound {

bool SendList::Add(SendEntry entry) {
  if (Full()) return false;
  entry.State = SendState::Pending;
  entries_[count_] = std::move(entry);
  ++count_;
  return true;
}

void SendList::Clear() {
  count_ = 0;
  TotalBytes = 0;
}

bool SendList::HasEarlierPath(const std::string& path, int before_index) const {
  const int limit = (before_index <= 0 || before_index > count_) ? count_ : before_index - 1;
  for (int i = 0; i < limit; ++i) {
    if (entries_[i].Path == path) return true;
  }
  return false;
}

}  // namespace kestrel::outbound
