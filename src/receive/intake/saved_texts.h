// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The saved texts of a get job: each taken message's text under the next
// free number in the SAVEEMAIL directory, HIGHEST.DAT that remembers the
// last number from one run to the next, the one text open for writing, its
// sync and its removal when the message stays on the server; the bounds that
// keep the copies from filling the disk over the months.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace kestrel::receive {

// "HIGHEST.DAT" in the SAVEEMAIL directory: the number of the last saved text.
inline constexpr std::string_view kHighestFileName = "HIGHEST.DAT";

// HIGHEST.DAT: a 32-bit signed little-endian number; 0 when missing or short.
[[nodiscard]] std::int32_t ReadHighestNumber(const std::string& directory);
[[nodiscard]] bool WriteHighestNumber(const std::string& directory, std::int32_t number);

// How long and how much the saved texts are kept; 0 is no bound.
struct SavedTextBounds {
  std::uint32_t days = 0;
  std::uint64_t bytes = 0;
};

// However tight the bounds, a text younger than this stays: the last day's
// copies are the ones a sysop looks for when something went wrong.
inline constexpr std::time_t kYoungestPrunedSeconds = 24 * 60 * 60;

class SavedTexts {
 public:
  using LogFunction = std::function<void(std::string_view)>;

  // directory: where the texts and HIGHEST.DAT are, ending in a separator.
  SavedTexts(std::string directory, LogFunction log);

  [[nodiscard]] const std::string& directory() const { return directory_; }

  // Both the directory of the texts and the home (the received journal) can
  // take new files; else false, with the line that says which and why.
  [[nodiscard]] bool Writable() const;
  // The oldest texts go while any is older than the bounds' days or all of
  // them hold more than its bytes, never one younger than a day; one read of
  // the directory, with one line when any went. Once a job: an IMAP job that
  // waits for mail opens its intake again for each arrival.
  void Prune(const SavedTextBounds& bounds, std::time_t now);

  // The numbering goes on from HIGHEST.DAT.
  void Open() { highest_ = ReadHighestNumber(directory_); }
  // HIGHEST.DAT gets the last number used; false when it cannot be written.
  [[nodiscard]] bool WriteHighest() const { return WriteHighestNumber(directory_, highest_); }

  // The text of the next message, open under the next free number; false
  // with its line when it cannot be created.
  [[nodiscard]] bool Create();
  // The open text (null when none), its number as names are made of it and
  // its path.
  [[nodiscard]] std::FILE* file() const { return file_.get(); }
  [[nodiscard]] std::int32_t number() const { return highest_; }
  [[nodiscard]] std::string Stem() const;
  [[nodiscard]] std::string Path(std::int32_t number) const;
  // The open text is complete; false with its line when it could not be
  // written.
  [[nodiscard]] bool Close();
  // On the disk for good; false (errno set) when the sync failed.
  [[nodiscard]] bool Sync(std::int32_t number) const { return platform::SyncFile(Path(number)); }
  // The last text goes, and its number is free again.
  void Discard();
  // These texts go, the first of them the lowest; the numbers from there on
  // are free again.
  void Discard(const std::vector<std::int32_t>& numbers);

 private:
  void Log(std::string_view text) const { log_(text); }

  const std::string directory_;
  LogFunction log_;
  platform::UniqueFile file_;
  std::int32_t highest_ = 0;
  bool pruned_ = false;
};

}  // namespace kestrel::receive
