// SPDX-License-Identifier: GPL-2.0-or-later
#include "config/redirects.h"

#include <utility>

namespace kestrel::config {

bool RedirectTable::Add(RedirectEntry entry) {
  if (RedirectCount() >= kMaxRedirects) {
    ++ignored_;
    return false;
  }
  first_by_address_.try_emplace(entry.Address, RedirectCount() + 1);
  entries_.push_back(std::move(entry));
  return true;
}

void RedirectTable::Clear() {
  entries_.clear();
  first_by_address_.clear();
  ignored_ = 0;
}

int RedirectTable::FindRedirect(std::string_view address) const {
  const auto found = first_by_address_.find(std::string(address));
  return found == first_by_address_.end() ? 0 : found->second;
}

}  // namespace kestrel::config
