// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The pieces of split messages waiting for the rest of their set, in the
// program's home: "<BASE>.SPL/<SHA-256 of the set's id>/" holds "ID" (the id
// as it came), "TOTAL" once a piece has told it, the pieces' data under their
// numbers ("1", "2", ...) and "REPORTED", touched when the set was last
// reported. A piece is written under a hidden name, synced and renamed, so a
// number in the spool always stands for a whole piece. Nothing in it is ever
// removed but a set that was joined.

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "receive/piece_label.h"

namespace kestrel::receive {

// What one set may hold on the disk, whatever its pieces claim.
inline constexpr std::uint64_t kMaxSetBytes = std::uint64_t{4} << 30;

struct PieceSet {
  std::string directory;  // ending in a separator
  std::string id;
  std::optional<std::uint32_t> total;
  std::vector<std::uint32_t> numbers;  // of the pieces here, ascending
  std::uint64_t bytes = 0;             // of the pieces here
  std::time_t since = 0;               // when its first piece came
  std::time_t reported = 0;            // when it was last reported; 0: never

  [[nodiscard]] bool Holds(std::uint32_t number) const;
  [[nodiscard]] bool Complete() const { return total && numbers.size() == *total; }
  // The path of piece `number`.
  [[nodiscard]] std::string PiecePath(std::uint32_t number) const;
};

// Its waiting is told once a day: false when it was told on the day of `now`.
[[nodiscard]] bool ReportDue(const PieceSet& set, std::time_t now);

// Why the piece cannot join its set; empty when it can.
[[nodiscard]] std::string Conflict(const PieceSet& set, const PieceLabel& label);

// One piece's data on its way into the spool; abandoned unless finished.
class PieceFile {
 public:
  PieceFile(const PieceSet& set, std::uint32_t number, platform::UniqueFile file);
  ~PieceFile();
  PieceFile(const PieceFile&) = delete;
  PieceFile& operator=(const PieceFile&) = delete;

  // False with error() when the disk fails.
  [[nodiscard]] bool Write(std::string_view bytes);
  // Synced and under its number; false with error().
  [[nodiscard]] bool Finish();
  [[nodiscard]] const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& what);

  std::string directory_;
  std::string hidden_path_;
  std::string path_;
  platform::UniqueFile file_;
  std::string error_;
};

class PieceSpool {
 public:
  PieceSpool();  // in the program's home
  explicit PieceSpool(std::string directory);

  // The directory, ending in a separator.
  [[nodiscard]] const std::string& directory() const { return directory_; }
  // The set the piece belongs to as the spool holds it; nothing when the id
  // cannot be hashed.
  [[nodiscard]] std::optional<PieceSet> SetOf(std::string_view id) const;
  // Starts writing a piece of `set` (as SetOf gave it), making the set's
  // directory when it is new; nothing with `error` when that failed.
  [[nodiscard]] std::unique_ptr<PieceFile> Create(const PieceSet& set, const PieceLabel& label,
                                                  std::string& error) const;
  // Every set in the spool, in the order of their directories' names.
  [[nodiscard]] std::vector<PieceSet> Sets() const;
  // After the join: the set's files and directory go.
  [[nodiscard]] bool Remove(const PieceSet& set) const;
  void MarkReported(const PieceSet& set) const;

 private:
  [[nodiscard]] PieceSet ReadSet(const std::string& directory) const;
  [[nodiscard]] bool MakeDirectory(const std::string& path, std::string& error) const;

  std::string directory_;
};

}  // namespace kestrel::receive
