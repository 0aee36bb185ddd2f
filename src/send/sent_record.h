// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The record of what was sent, kept in the program's home: for every message
// the server confirmed, its Message-ID, the node and addresses it went to and
// the file it carried. An identifier found here was confirmed once, so a
// message that would carry it again is a new queueing of the same file, not
// a retry.
//
// One line an entry, "seconds message-id node addresses path", appended once
// the server confirmed the message and synced before its bookkeeping changes
// the mailer's files. Blanks, control characters and "%" in a field are
// written as "%XX"; a field longer than a line allows is cut and ends in "%~"
// (read back as "..."); an empty one is "-". A line torn by a crash at the end
// is cut off before the next entry is added. A lost record costs only
// identifiers that look like retries, never a file.
//
// A confirmed file whose bookkeeping failed (it stays queued: a packet not
// deleted, a flow-file line not removed) gets a second line for its message
// with a sixth field, "untidied/SIZE/MTIME" (bytes, nanoseconds): while that
// node's entry names the same path and the file keeps that size and time, it
// is the same file and is not mailed again. A later line "... tidied" ends
// it: the file was tidied, and a queueing of it after that is a new one.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrel::send {

// Entries kept: all younger than 60 days, and the newest 10,000 whatever
// their age; never more than 20,000.
inline constexpr std::size_t kSentKeptEntries = 10'000;
inline constexpr std::size_t kSentMaxEntries = 20'000;
inline constexpr std::int64_t kSentKeptSeconds = 60LL * 24 * 60 * 60;

class SentRecord {
 public:
  struct Entry {
    std::int64_t seconds = 0;
    std::string message_id;
    std::string node;       // FidoNet address
    std::string addresses;  // e-mail addresses, joined with ","
    std::string path;       // the file or stored message sent
  };

  // The record beside the program: its name with the extension SNT.
  SentRecord();
  explicit SentRecord(std::string path);

  [[nodiscard]] const std::string& path() const { return path_; }

  // When a record past its bounds or with a torn end is written anew: at
  // once, or only before the next entry (for a reader that writes nothing).
  enum class Rewrite { AtOnce, BeforeNextEntry };

  // Reads the record (a missing one is empty); one past its bounds or with a
  // torn end is written anew as `rewrite` says, or else before the next
  // entry. False with the reason in `error_r` when it exists but cannot be
  // read: it then counts as empty.
  [[nodiscard]] bool Load(std::int64_t now, std::string& error_r,
                          Rewrite rewrite = Rewrite::AtOnce);

  [[nodiscard]] bool Has(std::string_view message_id) const;
  // The entry of a message; null when the record does not know it.
  [[nodiscard]] const Entry* Find(std::string_view message_id) const;

  // Adds an entry made at `now` (its own seconds are not used), synced; false with the reason when
  // it could not be written whole.
  [[nodiscard]] bool Record(const Entry& entry, std::int64_t now, std::string& error_r);
  // The same, its sync left to SyncRecorded (its text already on its way to
  // the disk): a message's bookkeeping syncs the entry just before it changes
  // the mailer's files, in one commit with the first of them.
  [[nodiscard]] bool RecordForSync(const Entry& entry, std::int64_t now, std::string& error_r);
  // Syncs what RecordForSync wrote; true at once when nothing waits.
  [[nodiscard]] bool SyncRecorded(std::string& error_r);

  // A file the server confirmed whose bookkeeping failed.
  struct Untidied {
    std::int64_t seconds = 0;  // when the entry was made
    std::string message_id;
    std::string addresses;
    std::uint64_t size = 0;
    std::int64_t modified_ns = 0;
  };
  // The file at `path` (as the entry gave it) that went to `node` and is not
  // tidied; null when there is none.
  [[nodiscard]] const Untidied* FindUntidied(std::string_view node, std::string_view path) const;
  // Records `entry` (its message confirmed) as not tidied, the file of that
  // size and time; false with the reason when it could not be written.
  [[nodiscard]] bool RecordUntidied(const Entry& entry, std::uint64_t size,
                                    std::int64_t modified_ns, std::int64_t now,
                                    std::string& error_r);
  // Records that the untidied file of `node` at `path` is tidied now.
  [[nodiscard]] bool RecordTidied(std::string_view node, std::string_view path, std::int64_t now,
                                  std::string& error_r);

 private:
  struct Line {
    std::string text;        // as written, with its "\n"
    std::string written_id;  // the Message-ID as written: what it is found by
    Entry entry;             // as read back
    std::string tidy;        // the sixth field as written; empty when none
  };
  void Remember(Line line);
  [[nodiscard]] bool Append(const Entry& entry, const std::string& tidy, std::int64_t now,
                            std::string& error_r, bool sync_now = true);
  void Forget();
  [[nodiscard]] std::string Content() const;

  std::string path_;
  std::vector<Line> lines_;
  std::unordered_map<std::string, std::size_t> by_id_;  // written id -> index in lines_
  std::unordered_map<std::string, Untidied> untidied_;  // node "\n" path -> the file
  // The file differs from lines_ (shortened, torn, an append failed): it is
  // replaced whole before the next entry goes in.
  bool rewrite_pending_ = false;
  bool sync_pending_ = false;  // appended by RecordForSync, not synced yet
};

}  // namespace kestrel::send
