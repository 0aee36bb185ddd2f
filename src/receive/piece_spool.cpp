// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/piece_spool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "net/sha256.h"
#include "platform/directory_owner.h"
#include "platform/error_text.h"
#include "platform/file_search.h"
#include "platform/program_home.h"

namespace kestrel::receive {
namespace {

constexpr std::string_view kIdFile = "ID";
constexpr std::string_view kTotalFile = "TOTAL";
constexpr std::string_view kReportedFile = "REPORTED";

// A piece's name: its number in plain digits, 1..kMaxPieces.
std::optional<std::uint32_t> PieceNumberOf(std::string_view name) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), value);
  if (error != std::errc() || end != name.data() + name.size() || name.front() == '0') {
    return std::nullopt;
  }
  if (value < 1 || value > kMaxPieces) return std::nullopt;
  return value;
}

// Where a piece is written until it is whole.
std::string HiddenPiecePath(const PieceSet& set, std::uint32_t number) {
  return set.directory + "." + std::to_string(number) + std::string(platform::kPartialSuffix);
}

std::string Parent(const std::string& directory) {
  const std::size_t cut = directory.find_last_of('/', directory.size() - 2);
  return cut == std::string::npos ? std::string("/") : directory.substr(0, cut + 1);
}

}  // namespace

bool PieceSet::Holds(std::uint32_t number) const {
  return std::binary_search(numbers.begin(), numbers.end(), number);
}

std::string PieceSet::PiecePath(std::uint32_t number) const {
  return directory + std::to_string(number);
}

bool ReportDue(const PieceSet& set, std::time_t now) {
  if (set.reported == 0) return true;
  std::tm last{};
  std::tm today{};
  if (!::localtime_r(&set.reported, &last) || !::localtime_r(&now, &today)) return true;
  return last.tm_year != today.tm_year || last.tm_yday != today.tm_yday;
}

std::string Conflict(const PieceSet& set, const PieceLabel& label) {
  if (set.total && label.total && *set.total != *label.total) {
    return "its total " + std::to_string(*label.total) + " differs from its set's " +
           std::to_string(*set.total);
  }
  const std::optional<std::uint32_t> total = set.total ? set.total : label.total;
  if (total && (label.number > *total || (!set.numbers.empty() && set.numbers.back() > *total))) {
    return "its set has more pieces than its total " + std::to_string(*total);
  }
  if (set.bytes >= kMaxSetBytes) return "its set holds " + std::to_string(set.bytes) + " bytes";
  return {};
}

PieceFile::PieceFile(const PieceSet& set, std::uint32_t number, platform::UniqueFile file)
    : directory_(set.directory),
      hidden_path_(HiddenPiecePath(set, number)),
      path_(set.PiecePath(number)),
      file_(std::move(file)) {}

PieceFile::~PieceFile() {
  if (!file_) return;
  file_.reset();
  (void)platform::DeleteFile(hidden_path_);
}

bool PieceFile::Fail(const std::string& what) {
  error_ = what;
  file_.reset();
  (void)platform::DeleteFile(hidden_path_);
  return false;
}

bool PieceFile::Write(std::string_view bytes) {
  if (!file_) return false;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) == bytes.size()) return true;
  return Fail(hidden_path_ + ": " + platform::ErrorText(errno));
}

bool PieceFile::Finish() {
  if (!file_) return false;
  std::FILE* file = file_.get();
  if (std::fflush(file) != 0 || ::fsync(::fileno(file)) != 0) {
    return Fail(hidden_path_ + ": " + platform::ErrorText(errno));
  }
  if (std::fclose(file_.release()) != 0 || !platform::RenameFile(hidden_path_, path_)) {
    return Fail(path_ + ": " + platform::ErrorText(errno));
  }
  if (platform::SyncDirectory(directory_)) return true;
  error_ = directory_ + ": " + platform::ErrorText(errno);
  return false;
}

PieceSpool::PieceSpool()
    : PieceSpool(platform::HomeFile(platform::ProgramBaseName() + ".SPL") + "/") {}

PieceSpool::PieceSpool(std::string directory) : directory_(std::move(directory)) {}

std::optional<PieceSet> PieceSpool::SetOf(std::string_view id) const {
  // The id is the sender's text: only its hash names anything on the disk.
  const std::optional<std::string> hash = net::Sha256Hex(id);
  if (!hash) return std::nullopt;
  PieceSet set = ReadSet(directory_ + *hash + "/");
  set.id = id;
  return set;
}

PieceSet PieceSpool::ReadSet(const std::string& directory) const {
  PieceSet set;
  set.directory = directory;
  for (const platform::FoundFile& file : platform::FindFiles(directory + "*").files) {
    if (file.is_directory || file.hidden) continue;
    if (const auto number = PieceNumberOf(file.name)) {
      set.numbers.push_back(*number);
      set.bytes += file.size;
    } else if (file.name == kIdFile) {
      set.id = platform::ReadFilePrefix(file.path, kMaxPieceIdBytes).value_or("");
      set.since = file.modified;
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

bool PieceSpool::MakeDirectory(const std::string& path, std::string& error) const {
  const bool made = ::mkdir(path.c_str(), 0700) == 0;
  // A root run leaves the spool to the user of the home.
  if (made) (void)platform::GiveDirectoryOwner(path, Parent(path));
  if ((made || errno == EEXIST) && platform::SyncDirectory(Parent(path))) return true;
  error = path + ": " + platform::ErrorText(errno);
  return false;
}

std::unique_ptr<PieceFile> PieceSpool::Create(const PieceSet& set, const PieceLabel& label,
                                              std::string& error) const {
  if (!platform::FileExists(set.directory + std::string(kIdFile))) {
    if (!MakeDirectory(directory_, error) || !MakeDirectory(set.directory, error)) return nullptr;
    if (!platform::ReplaceFileContent(set.directory + std::string(kIdFile), label.id)) {
      error = set.directory + std::string(kIdFile) + ": " + platform::ErrorText(errno);
      return nullptr;
    }
  }
  if (label.total && !set.total &&
      !platform::ReplaceFileContent(set.directory + std::string(kTotalFile),
                                    std::to_string(*label.total))) {
    error = set.directory + std::string(kTotalFile) + ": " + platform::ErrorText(errno);
    return nullptr;
  }
  const std::string hidden = HiddenPiecePath(set, label.number);
  platform::UniqueFile file = platform::OpenFile(hidden, "wb");
  if (!file) {
    error = hidden + ": " + platform::ErrorText(errno);
    return nullptr;
  }
  return std::make_unique<PieceFile>(set, label.number, std::move(file));
}

std::vector<PieceSet> PieceSpool::Sets() const {
  std::vector<PieceSet> sets;
  for (const platform::FoundFile& entry : platform::FindFiles(directory_ + "*").files) {
    if (entry.is_directory && !entry.hidden) sets.push_back(ReadSet(entry.path + "/"));
  }
  return sets;
}

bool PieceSpool::Remove(const PieceSet& set) const {
  for (const platform::FoundFile& file : platform::FindFiles(set.directory + "*").files) {
    (void)platform::DeleteFile(file.path);
  }
  return ::rmdir(set.directory.c_str()) == 0 && platform::SyncDirectory(directory_);
}

void PieceSpool::MarkReported(const PieceSet& set) const {
  const std::string path = set.directory + std::string(kReportedFile);
  if (!platform::TouchFile(path)) (void)platform::CreateFileExclusive(path);
}

}  // namespace kestrel::receive
