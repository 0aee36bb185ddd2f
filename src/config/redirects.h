// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The redirect table: FidoNet systems whose mail goes to e-mail addresses.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrel::config {

// A hub has a thousand links or so; the table holds a hundred times that, so
// that a configuration made by a script gone wrong still cannot eat memory.
inline constexpr int kMaxRedirects = 100'000;
inline constexpr std::size_t kMaxAddress = 30;
inline constexpr std::size_t kMaxEmailAddress = 128;
inline constexpr std::size_t kMaxName = 79;

struct RedirectEntry {
  std::string Address;       // completed FidoNet address, compared as text
  std::string EmailAddress;  // envelope recipient and "To:" address
  std::string Name;          // display name
  bool SendAsText = false;
};

class RedirectTable {
 public:
  // Entries are numbered from 1.
  [[nodiscard]] int RedirectCount() const { return static_cast<int>(entries_.size()); }
  [[nodiscard]] const RedirectEntry& Entry(int index) const { return entries_.at(index - 1); }
  // Appends an entry; false (nothing changes but the count of lines ignored)
  // when the table is full.
  bool Add(RedirectEntry entry);
  void Clear();
  // Index of the first entry whose Address equals the text exactly; 0 if none.
  [[nodiscard]] int FindRedirect(std::string_view address) const;
  // REDIRECT lines left out because the table was full.
  [[nodiscard]] int IgnoredCount() const { return ignored_; }

 private:
  std::vector<RedirectEntry> entries_;
  std::unordered_map<std::string, int> first_by_address_;  // Address -> index from 1
  int ignored_ = 0;
};

}  // namespace kestrel::config
