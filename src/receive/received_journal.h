// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The journal of what was received, kept in the program's home: for every
// message whose files were all saved, the mailbox and POP3 unique id it came
// under and its Message-ID. A message met again (its DELE or QUIT lost, a
// Stop, a sender's retry after a lost confirmation) is then deleted without
// being saved a second time.
//
// One line an entry, "seconds mailbox uid message-id" ("-" for what a
// message lacks), appended and synced before the message's DELE. A line torn
// by a crash at the end is an entry never made; any other line that cannot be
// read makes the journal unreadable: never a silent reset, which would let
// messages in twice.

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::receive {

// Entries kept: the newest 10,000, and all younger than 60 days.
inline constexpr std::size_t kJournalKeptEntries = 10'000;
inline constexpr std::int64_t kJournalKeptSeconds = 60LL * 24 * 60 * 60;

class ReceivedJournal {
 public:
  // The journal beside the program: its name with the extension JNL.
  ReceivedJournal();
  explicit ReceivedJournal(std::string path);

  [[nodiscard]] const std::string& path() const { return path_; }

  // Reads the journal (a missing one is empty) and, when it has grown past its
  // bounds, writes it anew without the oldest entries. False with the reason
  // in `error_r` when it exists but cannot be read, or cannot be shortened.
  [[nodiscard]] bool Load(std::int64_t now, std::string& error_r);

  [[nodiscard]] bool HasUid(std::string_view mailbox, std::string_view uid) const;
  [[nodiscard]] bool HasMessageId(std::string_view message_id) const;

  // Appends an entry and syncs it; false with the reason when it could not be
  // written whole.
  [[nodiscard]] bool Record(std::string_view mailbox, std::string_view uid,
                            std::string_view message_id, std::int64_t now, std::string& error_r);

 private:
  struct Entry {
    std::int64_t seconds = 0;
    std::string mailbox;
    std::string uid;
    std::string message_id;
  };
  void Remember(const Entry& entry);

  std::string path_;
  std::vector<Entry> entries_;
  std::set<std::string> uids_;  // "mailbox uid"
  std::set<std::string> message_ids_;
};

}  // namespace kestrel::receive
