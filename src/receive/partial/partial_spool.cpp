// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/partial/partial_spool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "mime/ascii_text.h"
#include "mime/sender_address.h"
#include "net/sha256.h"
#include "platform/directory_owner.h"
#include "platform/error_text.h"
#include "platform/file_search.h"
#include "platform/program_home.h"

namespace kestrel::receive {
namespace {

constexpr std::string_view kIdFile = "ID";
constexpr std::string_view kFromFile = "FROM";
constexpr std::string_view kCutFile = "CUT";
constexpr std::string_view kTotalFile = "TOTAL";
constexpr std::string_view kReportedFile = "REPORTED";
// A piece on its way in, in the spool itself: its set is known only once it
// is whole.
constexpr std::string_view kHiddenPiece = ".piece";
// A piece is read back for its fingerprint in blocks of this size.
constexpr std::size_t kDigestBlock = 64 * 1024;
// The sysop names a set by at least this much of its directory's name.
constexpr std::size_t kMinNameStart = 4;

// A piece's name: its number in plain digits, 1..kMaxPieces.
std::optional<std::uint32_t> PieceNumberOf(std::string_view name) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), value);
  if (error != std::errc() || end != name.data() + name.size() || name.front() == '0') {
    return std::nullopt;
  }
  if (value < 1 || value > mime::kMaxPieces) return std::nullopt;
  return value;
}

std::string Parent(const std::string& directory) {
  const std::size_t cut = directory.find_last_of('/', directory.size() - 2);
  return cut == std::string::npos ? std::string("/") : directory.substr(0, cut + 1);
}

std::optional<std::string> FileDigest(const std::string& path) {
  platform::UniqueFile file = platform::OpenFile(path, "rb");
  if (!file) return std::nullopt;
  net::Sha256 digest;
  std::string block(kDigestBlock, '\0');
  std::size_t count = 0;
  while ((count = std::fread(block.data(), 1, block.size(), file.get())) > 0) {
    digest.Update(std::string_view(block.data(), count));
  }
  if (std::ferror(file.get())) return std::nullopt;
  return digest.FinishHex();
}

bool WriteSetFile(const PartialSet& set, std::string_view name, std::string_view content,
                  std::string& error) {
  const std::string path = set.directory + std::string(name);
  if (platform::ReplaceFileContent(path, content)) return true;
  error = path + ": " + platform::ErrorText(errno);
  return false;
}

}  // namespace

bool PartialSet::Holds(std::uint32_t number) const {
  return std::binary_search(numbers.begin(), numbers.end(), number);
}

std::string PartialSet::PiecePath(std::uint32_t number) const {
  return directory + std::to_string(number);
}

std::string PartialSet::Name() const {
  const std::size_t cut = directory.find_last_of('/', directory.size() - 2);
  return directory.substr(cut + 1, directory.size() - cut - 2);
}

std::string PartialSet::Describe() const {
  return mime::Printable(id) + " from " +
         (sender ? mime::Printable(sender->empty() ? "an unknown sender" : *sender)
                 : std::string("a sender not recorded"));
}

bool ReportDue(const PartialSet& set, std::time_t now) {
  if (set.reported == 0) return true;
  std::tm last{};
  std::tm today{};
  if (!::localtime_r(&set.reported, &last) || !::localtime_r(&now, &today)) return true;
  return last.tm_year != today.tm_year || last.tm_yday != today.tm_yday;
}

std::string Conflict(const PartialSet& set, const mime::PieceLabel& label,
                     std::uint64_t piece_bytes) {
  if (set.total && label.total && *set.total != *label.total) {
    return "its total " + std::to_string(*label.total) + " differs from its set's " +
           std::to_string(*set.total);
  }
  const std::optional<std::uint32_t> total = set.total ? set.total : label.total;
  if (total && (label.number > *total || (!set.numbers.empty() && set.numbers.back() > *total))) {
    return "its set has more pieces than its total " + std::to_string(*total);
  }
  if (set.bytes >= kMaxSetBytes || piece_bytes > kMaxSetBytes - set.bytes) {
    return "its set would hold more than " + std::to_string(kMaxSetBytes) + " bytes";
  }
  return {};
}

PieceFile::PieceFile(std::string hidden_path, platform::UniqueFile file)
    : hidden_path_(std::move(hidden_path)), file_(std::move(file)) {}

PieceFile::~PieceFile() {
  file_.reset();
  if (!hidden_path_.empty()) (void)platform::DeleteFile(hidden_path_);
}

bool PieceFile::Fail(const std::string& what) {
  error_ = what;
  file_.reset();
  (void)platform::DeleteFile(hidden_path_);
  return false;
}

bool PieceFile::Write(std::string_view bytes) {
  if (!file_) return false;
  bytes_ += bytes.size();
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) == bytes.size()) return true;
  return Fail(hidden_path_ + ": " + platform::ErrorText(errno));
}

bool PieceFile::Finish() {
  if (!file_) return finished_;
  std::FILE* file = file_.get();
  if (std::fflush(file) != 0 || ::fsync(::fileno(file)) != 0) {
    return Fail(hidden_path_ + ": " + platform::ErrorText(errno));
  }
  if (std::fclose(file_.release()) != 0)
    return Fail(hidden_path_ + ": " + platform::ErrorText(errno));
  finished_ = true;
  return true;
}

PartialSpool::PartialSpool(SpoolLimits limits)
    : PartialSpool(platform::HomeFile(platform::ProgramBaseName() + ".SPL") + "/", limits) {}

PartialSpool::PartialSpool(std::string directory, SpoolLimits limits)
    : directory_(std::move(directory)), limits_(limits) {}

PartialSet PartialSpool::ReadSet(const std::string& directory) const {
  PartialSet set;
  set.directory = directory;
  for (const platform::FoundFile& file : platform::FindFiles(directory + "*").files) {
    if (file.is_directory || file.hidden) continue;
    if (const auto number = PieceNumberOf(file.name)) {
      set.numbers.push_back(*number);
      set.bytes += file.size;
    } else if (file.name == kIdFile) {
      set.id = platform::ReadFilePrefix(file.path, mime::kMaxPieceIdBytes).value_or("");
      set.since = file.modified;
    } else if (file.name == kFromFile) {
      set.sender = platform::ReadFilePrefix(file.path, mime::kMaxSenderBytes).value_or("");
    } else if (file.name == kCutFile) {
      const std::string text = platform::ReadFilePrefix(file.path, 8).value_or("");
      if (!text.empty()) set.cut = PieceNumberOf(text).value_or(0);
    } else if (file.name == kTotalFile) {
      const std::string text = platform::ReadFilePrefix(file.path, 8).value_or("");
      if (!text.empty()) set.total = PieceNumberOf(text);
    } else if (file.name == kReportedFile) {
      set.reported = file.modified;
    }
  }
  std::sort(set.numbers.begin(), set.numbers.end());
  return set;
}

std::vector<PartialSet> PartialSpool::Sets() const {
  std::vector<PartialSet> sets;
  for (const platform::FoundFile& entry : platform::FindFiles(directory_ + "*").files) {
    if (entry.is_directory && !entry.hidden) sets.push_back(ReadSet(entry.path + "/"));
  }
  return sets;
}

SpoolLimits SpoolLimitsOf(const config::Configuration& configuration) {
  constexpr std::uint64_t kMiB = 1024 * 1024;
  return {configuration.SPOOLMAXMB * kMiB, configuration.SPOOLMAXSETS,
          configuration.SPOOLSENDERMB * kMiB, configuration.SPOOLSENDERSETS};
}

SpoolUsage PartialSpool::Usage(const std::vector<PartialSet>& sets, std::string_view sender) const {
  SpoolUsage usage;
  for (const PartialSet& set : sets) {
    usage.bytes += set.bytes;
    ++usage.sets;
    if (set.sender && *set.sender == sender) {
      usage.sender_bytes += set.bytes;
      ++usage.sender_sets;
    }
  }
  return usage;
}

std::string PartialSpool::SetBound(const SpoolUsage& usage) const {
  if (usage.sets >= limits_.sets) {
    return "the spool holds " + std::to_string(usage.sets) + " sets (SPOOLMAXSETS)";
  }
  if (usage.sender_sets >= limits_.sender_sets) {
    return "its sender has " + std::to_string(usage.sender_sets) +
           " sets waiting (SPOOLSENDERSETS)";
  }
  return {};
}

std::uint64_t PartialSpool::Room(const SpoolUsage& usage, std::string& bound) const {
  const std::uint64_t spool = limits_.bytes - std::min(usage.bytes, limits_.bytes);
  const std::uint64_t sender =
      limits_.sender_bytes - std::min(usage.sender_bytes, limits_.sender_bytes);
  if (spool <= sender) {
    bound = "the spool would hold more than " + std::to_string(limits_.bytes / (1024 * 1024)) +
            " MiB (SPOOLMAXMB)";
    return spool;
  }
  bound = "its sender's sets would hold more than " +
          std::to_string(limits_.sender_bytes / (1024 * 1024)) + " MiB (SPOOLSENDERMB)";
  return sender;
}

bool PartialSpool::MakeDirectory(const std::string& path, std::string& error) const {
  const bool made = ::mkdir(path.c_str(), 0700) == 0;
  // A root run leaves the spool to the user of the home.
  if (made) (void)platform::GiveDirectoryOwner(path, Parent(path));
  if ((made || errno == EEXIST) && platform::SyncDirectory(Parent(path))) return true;
  error = path + ": " + platform::ErrorText(errno);
  return false;
}

std::unique_ptr<PieceFile> PartialSpool::Begin(std::string& error) const {
  if (!MakeDirectory(directory_, error)) return nullptr;
  const std::string hidden =
      directory_ + std::string(kHiddenPiece) + std::string(platform::kPartialSuffix);
  platform::UniqueFile file = platform::OpenFile(hidden, "wb");
  if (!file) {
    error = hidden + ": " + platform::ErrorText(errno);
    return nullptr;
  }
  return std::make_unique<PieceFile>(hidden, std::move(file));
}

std::optional<PartialSet> PartialSpool::NewSet(std::string_view sender,
                                               const mime::PieceLabel& label,
                                               std::string& error) const {
  for (std::uint32_t cut = 1; cut <= kMaxCuts; ++cut) {
    const std::optional<std::string> hash =
        net::Sha256Hex(std::string(sender) + "\n" + label.id + "\n" + std::to_string(cut));
    if (!hash) break;
    PartialSet set;
    set.directory = directory_ + *hash + "/";
    // A directory without its ID is one a broken run began: taken again.
    if (platform::FileExists(set.directory + std::string(kIdFile))) continue;
    if (!MakeDirectory(set.directory, error) || !WriteSetFile(set, kFromFile, sender, error) ||
        !WriteSetFile(set, kCutFile, std::to_string(cut), error) ||
        !WriteSetFile(set, kIdFile, label.id, error)) {
      return std::nullopt;
    }
    set.id = label.id;
    set.sender = std::string(sender);
    set.cut = cut;
    return set;
  }
  error = "no set of its own can be made for it (" + std::to_string(kMaxCuts) + " sets of its id)";
  return std::nullopt;
}

bool PartialSpool::Enter(PieceFile& piece, const PartialSet& set, std::string_view sender,
                         const mime::PieceLabel& label, std::string& error) const {
  // A set from an older run belongs from now on to the sender who goes on with it.
  if (!set.sender && !WriteSetFile(set, kFromFile, sender, error)) return false;
  if (label.total && !set.total &&
      !WriteSetFile(set, kTotalFile, std::to_string(*label.total), error)) {
    return false;
  }
  const std::string path = set.PiecePath(label.number);
  if (!platform::RenameFile(piece.hidden_path(), path)) {
    error = path + ": " + platform::ErrorText(errno);
    return false;
  }
  piece.Placed();
  if (platform::SyncDirectory(set.directory) && platform::SyncDirectory(directory_)) return true;
  error = set.directory + ": " + platform::ErrorText(errno);
  return false;
}

bool PartialSpool::HoldsCopy(const std::vector<PartialSet>& sets, std::string_view sender,
                             const mime::PieceLabel& label, std::string_view digest) const {
  return std::any_of(sets.begin(), sets.end(), [&](const PartialSet& set) {
    return set.id == label.id && (!set.sender || *set.sender == sender) &&
           set.Holds(label.number) && FileDigest(set.PiecePath(label.number)) == digest;
  });
}

Placement PartialSpool::Place(PieceFile& piece, std::string_view sender,
                              const mime::PieceLabel& label, std::string_view digest) const {
  std::vector<PartialSet> sets = Sets();
  std::vector<const PartialSet*> ours;
  std::string other_sender;
  for (const PartialSet& set : sets) {
    if (set.id != label.id) continue;
    if (!set.sender || *set.sender == sender) {
      ours.push_back(&set);
    } else if (other_sender.empty()) {
      other_sender = *set.sender;
    }
  }
  if (HoldsCopy(sets, sender, label, digest)) return {Placing::Copy, {}};
  // The newest cut first: a sender who cuts a set again goes on with the new one.
  std::sort(ours.begin(), ours.end(),
            [](const PartialSet* a, const PartialSet* b) { return a->cut > b->cut; });
  Placement placement;
  for (const PartialSet* set : ours) {
    const std::string conflict = set->Holds(label.number)
                                     ? "its set holds another piece " + std::to_string(label.number)
                                     : Conflict(*set, label, piece.bytes());
    if (conflict.empty()) {
      placement.how =
          Enter(piece, *set, sender, label, placement.reason) ? Placing::Kept : Placing::Failed;
      return placement;
    }
    if (placement.reason.empty()) placement.reason = conflict;
  }
  if (ours.empty() && !other_sender.empty()) {
    placement.reason = "a set of " + mime::Printable(other_sender) + " has its id";
  }
  const std::string bound = SetBound(Usage(sets, sender));
  if (!bound.empty()) return {Placing::Failed, bound};
  std::string error;
  const std::optional<PartialSet> set = NewSet(sender, label, error);
  if (!set || !Enter(piece, *set, sender, label, error)) return {Placing::Failed, error};
  placement.how = placement.reason.empty() ? Placing::Kept : Placing::Apart;
  return placement;
}

std::optional<PartialSet> PartialSpool::Find(std::string_view name) const {
  if (name.size() < kMinNameStart) return std::nullopt;
  std::optional<PartialSet> found;
  for (PartialSet& set : Sets()) {
    if (set.Name().rfind(name, 0) != 0) continue;
    if (found) return std::nullopt;  // more than one: the sysop must say which
    found = std::move(set);
  }
  return found;
}

bool PartialSpool::Remove(const PartialSet& set) const {
  for (const platform::FoundFile& file : platform::FindFiles(set.directory + "*").files) {
    (void)platform::DeleteFile(file.path);
  }
  return ::rmdir(set.directory.c_str()) == 0 && platform::SyncDirectory(directory_);
}

void PartialSpool::MarkReported(const PartialSet& set) const {
  const std::string path = set.directory + std::string(kReportedFile);
  if (!platform::TouchFile(path)) (void)platform::CreateFileExclusive(path);
}

}  // namespace kestrel::receive
