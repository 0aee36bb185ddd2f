// SPDX-License-Identifier: GPL-2.0-or-later
#include "config/redirects.h"

#include <utility>

namespace kestrel::config {

bool RedirectTable::Add(RedirectEntry entry) {
  if (count_ >= kMaxRedirects) return false;
  entries_[count_] = std::move(entry);
  ++count_;
  return true;
}

int RedirectTable::FindRedirect(std::string_view address) const {
  for (int i = 0; i < count_; ++i) {
    if (entries_[i].Address == address) return i + 1;
  }
  return 0;
}

}  // namespace kestrel::config
