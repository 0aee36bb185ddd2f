// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The work list of one send run: every file to be mailed, once per redirected
// system it goes to.

#include <array>
#include <cstdint>
#include <string>

namespace kestrel::outbound {

inline constexpr int kMaxSendEntries = 500;
inline constexpr std::size_t kMaxSendPath = 79;

enum class SendState : std::uint8_t { Pending = 0, Taken = 1, Sent = 2, Skipped = 3 };

enum class SendKind : std::uint8_t {
  OutboundPacket = 0,
  ListedFile = 1,
  AttachedFile = 2,
  NetmailText = 3,
  NetmailPacket = 4,
};

enum class AfterSendAction : std::uint8_t { Nothing = 0, Delete = 1, Truncate = 2 };

struct SendEntry {
  SendState State = SendState::Pending;
  SendKind Kind = SendKind::OutboundPacket;
  // Paths are kept whole, even beyond kMaxSendPath: a path cut short would name
  // another file, or none. Their sources bound them (flow-file lines 255, list
  // lines and subject words 80, outbound names 80 plus the extension).
  std::string Path;       // the file to send
  std::string ListPath;   // flow file, list or *.MSG that named it; may be empty
  int RedirectIndex = 0;  // from 1
  AfterSendAction AfterSend = AfterSendAction::Nothing;
};

class SendList {
 public:
  // Entries are numbered from 1.
  [[nodiscard]] int Count() const { return count_; }
  [[nodiscard]] bool Full() const { return count_ >= kMaxSendEntries; }
  [[nodiscard]] SendEntry& Entry(int index) { return entries_.at(index - 1); }
  [[nodiscard]] const SendEntry& Entry(int index) const { return entries_.at(index - 1); }

  // Appends a Pending entry; false when the list is full (nothing changes).
  bool Add(SendEntry entry);
  // Count and TotalBytes to 0.
  void Clear();

  // True when an entry before `index` (1-based; 0 or Count()+1 for "all") has
  // the same Path, compared exactly.
  [[nodiscard]] bool HasEarlierPath(const std::string& path, int before_index) const;

  // Bytes the send job will transfer; a file sent to several systems counts once.
  std::int64_t TotalBytes = 0;

 private:
  std::array<SendEntry, kMaxSendEntries> entries_{};
  int count_ = 0;
};

}  // namespace kestrel::outbound
