// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The journal of what was received, kept in the program's home: for every
// message whose files were all saved, the mailbox and POP3 unique id it came
// under, its Message-ID and the fingerprint of its content. A message met
// again (its DELE or QUIT lost, a Stop, a sender's retry after a lost
// confirmation) is deleted without being saved a second time, but only when
// it is certainly the same one: a known unique id or Message-ID alone makes
// it a suspect, whose content must then match as well.
//
// One line an entry, "seconds mailbox uid message-id digest" ("-" for what a
// message lacks; lines of four fields, without the digest, come from earlier
// versions). A field longer than kJournalFieldChars, or with blanks or control
// characters, is kept as "#" and 32 hex digits of its SHA-256, so that a line
// stays short whatever a server or sender sends. Lines are appended and synced
// before the message's DELE. A line torn by a crash at the end is an entry
// never made, cut off before the next append; any other line that cannot be
// read makes the journal unreadable: never a silent reset, which would let
// messages in twice.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::receive {

// Entries kept: the newest 10,000 and all younger than 60 days, but never more
// than 20,000 whatever their age (a dropped entry can cost a second copy, not
// a loss).
inline constexpr std::size_t kJournalKeptEntries = 10'000;
inline constexpr std::int64_t kJournalKeptSeconds = 60LL * 24 * 60 * 60;
inline constexpr std::size_t kJournalMaxEntries = 20'000;
inline constexpr std::size_t kJournalFieldChars = 64;

// What the journal keeps of one message.
struct JournalEntry {
  std::string mailbox;
  std::string uid;
  std::string message_id;
  std::string content_digest;
};

class ReceivedJournal {
 public:
  // The journal beside the program: its name with the extension JNL.
  ReceivedJournal();
  explicit ReceivedJournal(std::string path);

  [[nodiscard]] const std::string& path() const { return path_; }

  // Reads the journal (a missing one is empty) and writes it anew when it has
  // grown past its bounds, ends in a torn line or holds fields too long. False
  // with the reason in `error_r` when it exists but cannot be read, or cannot
  // be written anew.
  [[nodiscard]] bool Load(std::int64_t now, std::string& error_r);

  // Worth a second look: its unique id is known in this mailbox, or its
  // Message-ID is known and a real one (not empty, not "<>").
  [[nodiscard]] bool IsSuspect(std::string_view mailbox, std::string_view uid,
                               std::string_view message_id) const;
  // Certainly taken before: an entry with the same content digest and the
  // same unique id in this mailbox or the same real Message-ID. Never without
  // a digest.
  [[nodiscard]] bool IsCopy(std::string_view mailbox, std::string_view uid,
                            std::string_view message_id, std::string_view content_digest) const;

  // Appends an entry and syncs it, or not when `sync` is false (then
  // SyncRecorded follows); false with the reason when it could not be
  // written whole.
  [[nodiscard]] bool Record(const JournalEntry& values, std::int64_t now, std::string& error_r,
                            bool sync = true);
  // What was recorded without a sync goes to the disk.
  [[nodiscard]] bool SyncRecorded(std::string& error_r);
  [[nodiscard]] bool Record(std::string_view mailbox, std::string_view uid,
                            std::string_view message_id, std::string_view content_digest,
                            std::int64_t now, std::string& error_r) {
    return Record({std::string(mailbox), std::string(uid), std::string(message_id),
                   std::string(content_digest)},
                  now, error_r);
  }

 private:
  enum Field : std::size_t { kMailbox, kUid, kMessageId, kDigest, kFields };
  // Where an entry's line lies in content_; its fields follow one another,
  // each after a blank.
  struct Entry {
    std::int64_t seconds = 0;
    std::size_t line_start = 0;
    std::uint8_t fields_offset = 0;  // from line_start
    std::array<std::uint8_t, kFields> lengths{};
  };

  [[nodiscard]] std::string_view FieldOf(const Entry& entry, Field field) const;
  [[nodiscard]] bool Knows(std::string_view mailbox, std::string_view uid,
                           std::string_view message_id, std::string_view digest) const;
  [[nodiscard]] bool TakeLine(std::string_view line, std::size_t& write_r);
  [[nodiscard]] std::size_t FirstKept(std::int64_t now) const;
  void DropBefore(std::size_t first_kept);

  std::string path_;
  std::string content_;  // the journal's lines as they are on disk
  std::vector<Entry> entries_;
  bool append_failed_ = false;  // the file may end in a torn line
};

}  // namespace kestrel::receive
