// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The pieces of split messages waiting for the rest of their set, in the
// program's home: "<BASE>.SPL/<SHA-256>/" holds "ID" (the id as it came),
// "FROM" (the sender's address), "TOTAL" once a piece has told it, the
// pieces' data under their numbers ("1", "2", ...) and "REPORTED", touched
// when the set was last reported. A set belongs to one sender: its directory
// is named after the hash of sender, id and the cut ("1", or "2", ... for a
// piece that disagrees with the sets before it). Sets from older runs have no
// FROM and are named after the id alone; the first sender whose piece fits
// one takes it over. A piece is written under a hidden name in the spool,
// synced, and renamed into its set, so a number in the spool always stands
// for a whole piece. Nothing in it is ever removed but a set that was joined,
// or one the sysop delivered or removed.

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/configuration.h"
#include "mime/partial_label.h"
#include "platform/files.h"

namespace kestrel::receive {

// What one set may hold on the disk, whatever its pieces claim.
inline constexpr std::uint64_t kMaxSetBytes = std::uint64_t{4} << 30;
// Cuts of one id one sender may have waiting: each disagreeing piece makes one.
inline constexpr std::uint32_t kMaxCuts = 100;

// Digits of a set's name in log lines: unique among any spool's sets.
inline constexpr std::size_t kShortNameDigits = 16;

struct PartialSet {
  std::string directory;  // ending in a separator
  std::string id;
  std::optional<std::string> sender;  // nothing: a set from an older run
  std::uint32_t cut = 0;              // 1, 2, ...; 0: a set from an older run
  std::optional<std::uint32_t> total;
  std::vector<std::uint32_t> numbers;  // of the pieces here, ascending
  std::uint64_t bytes = 0;             // of the pieces here
  std::time_t since = 0;               // when its first piece came
  std::time_t reported = 0;            // when it was last reported; 0: never

  [[nodiscard]] bool Holds(std::uint32_t number) const;
  [[nodiscard]] bool Complete() const { return total && numbers.size() == *total; }
  // The path of piece `number`.
  [[nodiscard]] std::string PiecePath(std::uint32_t number) const;
  // The directory's own name: what the sysop names the set with.
  [[nodiscard]] std::string Name() const;
  // Enough of it to name it in a log line.
  [[nodiscard]] std::string ShortName() const { return Name().substr(0, kShortNameDigits); }
  // "ID from SENDER", printable.
  [[nodiscard]] std::string Describe() const;
};

// Its waiting is told once a day: false when it was told on the day of `now`.
[[nodiscard]] bool ReportDue(const PartialSet& set, std::time_t now);

// Why the piece cannot join the set (its number aside); empty when it can.
[[nodiscard]] std::string Conflict(const PartialSet& set, const mime::PieceLabel& label,
                                   std::uint64_t piece_bytes = 0);

// The bounds of the whole spool and of each sender's share of it.
struct SpoolLimits {
  std::uint64_t bytes = 0;
  std::uint32_t sets = 0;
  std::uint64_t sender_bytes = 0;
  std::uint32_t sender_sets = 0;
};

// The bounds as the configuration sets them (SPOOLMAXMB, SPOOLMAXSETS,
// SPOOLSENDERMB, SPOOLSENDERSETS).
[[nodiscard]] SpoolLimits SpoolLimitsOf(const config::Configuration& configuration);

// What the spool, and one sender's sets in it, hold.
struct SpoolUsage {
  std::uint64_t bytes = 0;
  std::uint32_t sets = 0;
  std::uint64_t sender_bytes = 0;
  std::uint32_t sender_sets = 0;
};

// One piece's data on its way into the spool; abandoned unless placed.
class PieceFile {
 public:
  PieceFile(std::string hidden_path, platform::UniqueFile file);
  ~PieceFile();
  PieceFile(const PieceFile&) = delete;
  PieceFile& operator=(const PieceFile&) = delete;

  // False with error() when the disk fails.
  [[nodiscard]] bool Write(std::string_view bytes);
  // Synced and closed, still hidden; false with error().
  [[nodiscard]] bool Finish();
  [[nodiscard]] const std::string& error() const { return error_; }
  [[nodiscard]] const std::string& hidden_path() const { return hidden_path_; }
  [[nodiscard]] std::uint64_t bytes() const { return bytes_; }
  // Renamed into its set: nothing is left to clean up.
  void Placed() { hidden_path_.clear(); }

 private:
  bool Fail(const std::string& what);

  std::string hidden_path_;
  platform::UniqueFile file_;
  std::uint64_t bytes_ = 0;
  bool finished_ = false;
  std::string error_;
};

// Where a whole piece went.
enum class Placing {
  Copy,    // a set already holds the same bytes under its number: nothing kept
  Kept,    // into the set of its sender and id
  Apart,   // into a set of its own, since it disagrees with the sets before
  Failed,  // nowhere: error says why
};

struct Placement {
  Placing how = Placing::Failed;
  std::string reason;  // Apart: what it disagrees with; Failed: the error
};

class PartialSpool {
 public:
  // In the program's home.
  explicit PartialSpool(SpoolLimits limits = SpoolLimitsOf(config::Configuration{}));
  PartialSpool(std::string directory, SpoolLimits limits);

  // The directory, ending in a separator.
  [[nodiscard]] const std::string& directory() const { return directory_; }
  [[nodiscard]] const SpoolLimits& limits() const { return limits_; }
  // Every set in the spool, in the order of their directories' names.
  [[nodiscard]] std::vector<PartialSet> Sets() const;
  [[nodiscard]] SpoolUsage Usage(const std::vector<PartialSet>& sets,
                                 std::string_view sender) const;
  // Why one more set of `sender` would pass a bound; empty when it would not.
  [[nodiscard]] std::string SetBound(const SpoolUsage& usage) const;
  // The bytes a piece of `sender` may still take, and the bound it meets then.
  [[nodiscard]] std::uint64_t Room(const SpoolUsage& usage, std::string& bound) const;
  // Starts writing a piece, making the spool when it is new; nothing with
  // `error` when that failed.
  [[nodiscard]] std::unique_ptr<PieceFile> Begin(std::string& error) const;
  // True when a set of `sender` already holds these bytes under the piece's
  // number.
  [[nodiscard]] bool HoldsCopy(const std::vector<PartialSet>& sets, std::string_view sender,
                               const mime::PieceLabel& label, std::string_view digest) const;
  // The finished piece into its set (see Placing). `digest` is the SHA-256 of
  // its bytes.
  [[nodiscard]] Placement Place(PieceFile& piece, std::string_view sender,
                                const mime::PieceLabel& label, std::string_view digest) const;
  // The set the sysop names by its directory's name, or a unique start of it.
  [[nodiscard]] std::optional<PartialSet> Find(std::string_view name) const;
  // The set's files and directory go.
  [[nodiscard]] bool Remove(const PartialSet& set) const;
  void MarkReported(const PartialSet& set) const;

 private:
  [[nodiscard]] PartialSet ReadSet(const std::string& directory) const;
  [[nodiscard]] bool MakeDirectory(const std::string& path, std::string& error) const;
  [[nodiscard]] std::optional<PartialSet> NewSet(std::string_view sender,
                                                 const mime::PieceLabel& label,
                                                 std::string& error) const;
  [[nodiscard]] bool Enter(PieceFile& piece, const PartialSet& set, std::string_view sender,
                           const mime::PieceLabel& label, std::string& error) const;

  std::string directory_;
  SpoolLimits limits_;
};

}  // namespace kestrel::receive
