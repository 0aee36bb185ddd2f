// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The work list of one send run: every file to be mailed, once per redirected
// system it goes to.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace kestrel::outbound {

// A hub of a thousand links with six files each waits with 6,000 entries; the
// list holds far more, at a few hundred bytes an entry. What does not fit is
// counted, reported as a problem and left for a later run.
inline constexpr int kMaxSendEntries = 100'000;
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
  // lines and subject words 80, outbound names 80 plus the extension). Path
  // does not change once the entry is in a list: the list finds entries by it.
  std::string Path;       // the file to send
  std::string ListPath;   // flow file, list or *.MSG that named it; may be empty
  int RedirectIndex = 0;  // from 1
  AfterSendAction AfterSend = AfterSendAction::Nothing;
  // The server confirmed this file to this system in an earlier run, but its
  // bookkeeping failed: it is not mailed again (State Skipped), only tidied.
  bool Untidied = false;
};

class ListedNames;

class SendList {
 public:
  // Entries are numbered from 1.
  [[nodiscard]] int Count() const { return static_cast<int>(entries_.size()); }
  [[nodiscard]] bool Full() const { return Count() >= kMaxSendEntries; }
  [[nodiscard]] SendEntry& Entry(int index) { return entries_.at(index - 1); }
  [[nodiscard]] const SendEntry& Entry(int index) const { return entries_.at(index - 1); }

  // Appends a Pending entry; false when the list is full (nothing changes).
  bool Add(SendEntry entry);
  // No entries, TotalBytes and Problems cleared.
  void Clear();

  // True when an entry before `index` (1-based; 0 or Count()+1 for "all") has
  // the same Path, compared exactly.
  [[nodiscard]] bool HasEarlierPath(const std::string& path, int before_index) const;
  // The numbers of the entries with this Path, compared exactly, in order.
  [[nodiscard]] const std::vector<int>& EntriesWithPath(const std::string& path) const;

  // Bytes the send job will transfer; a file sent to several systems counts once.
  std::int64_t TotalBytes = 0;
  // The build met something the sysop must see (files left out, a node held
  // for long, a file sent but not tidied): the run does not end in success.
  bool Problems = false;
  // The mailer's lists as the bookkeeping of this run read them; made by the
  // first bookkeeping that needs them.
  std::shared_ptr<ListedNames> Listed;

 private:
  std::vector<SendEntry> entries_;
  std::unordered_map<std::string, std::vector<int>> by_path_;
};

}  // namespace kestrel::outbound
