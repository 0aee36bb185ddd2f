// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The redirect table: FidoNet systems whose mail goes to e-mail addresses.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::config {

inline constexpr int kMaxRedirects = 500;
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
  [[nodiscard]] int RedirectCount() const { return count_; }
  [[nodiscard]] const RedirectEntry& Entry(int index) const { return entries_.at(index - 1); }
  // Appends an entry; false (and nothing changes) when the table is full.
  bool Add(RedirectEntry entry);
  void Clear() { count_ = 0; }
  // Index of the first entry whose Address equals the text exactly; 0 if none.
  [[nodiscard]] int FindRedirect(std::string_view address) const;

 private:
  std::array<RedirectEntry, kMaxRedirects> entries_{};
  int count_ = 0;
};

}  // namespace kestrel::config
