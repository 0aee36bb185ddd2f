// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/intake/saved_texts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include "core/le_bytes.h"
#include "core/text_utils.h"
#include "platform/directory_owner.h"
#include "platform/error_text.h"
#include "platform/file_names.h"
#include "platform/program_home.h"

namespace kestrel::receive {
namespace {

// Saved texts that already exist are skipped, never overwritten; past this
// many the directory is treated as unwritable.
constexpr int kMaxSavedTextSkips = 10000;
constexpr int kSavedTextDigits = 8;
// The last number the digits hold. After it the numbering starts again at 1,
// and numbers still in use are skipped like any saved text that exists.
constexpr std::int32_t kMaxSavedTextNumber = 99'999'999;

// The number after `number`; a HIGHEST.DAT of another program may hold any.
std::int32_t NextNumber(std::int32_t number) {
  return number < 0 || number >= kMaxSavedTextNumber ? 1 : number + 1;
}

constexpr std::time_t kSecondsPerDay = 24 * 60 * 60;

struct DirectoryCloser {
  void operator()(DIR* directory) const { ::closedir(directory); }
};

// A saved text as the one read of its directory found it.
struct FoundText {
  std::string name;
  std::time_t modified = 0;
  std::uint64_t bytes = 0;
};

// Texts looked at in one run (about 10 MB of names); any beyond wait for
// the runs after, which remove these first.
constexpr std::size_t kMaxTextsLookedAt = 200'000;

// Oldest first; the number decides between texts of the same second.
std::vector<FoundText> FindTexts(DIR* directory) {
  std::vector<FoundText> texts;
  while (texts.size() < kMaxTextsLookedAt) {
    const dirent* entry = ::readdir(directory);
    if (!entry) break;
    if (!platform::IsSavedTextName(entry->d_name)) continue;
    struct stat info {};
    if (::fstatat(::dirfd(directory), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode))
      continue;
    texts.push_back({entry->d_name, info.st_mtime, static_cast<std::uint64_t>(info.st_size)});
  }
  std::sort(texts.begin(), texts.end(), [](const FoundText& a, const FoundText& b) {
    return a.modified != b.modified ? a.modified < b.modified : a.name < b.name;
  });
  return texts;
}

}  // namespace

std::int32_t ReadHighestNumber(const std::string& directory) {
  const auto bytes = platform::ReadFilePrefix(directory + std::string(kHighestFileName), 4);
  if (!bytes) return 0;
  core::ByteReader reader(*bytes);
  return static_cast<std::int32_t>(reader.U32le());  // 0 when short
}

bool WriteHighestNumber(const std::string& directory, std::int32_t number) {
  std::string bytes;
  core::ByteWriter(bytes).U32le(static_cast<std::uint32_t>(number));
  const std::string path = directory + std::string(kHighestFileName);
  if (!platform::ReplaceFileContent(path, bytes)) return false;
  (void)platform::GiveDirectoryOwner(path, directory);
  return true;
}

SavedTexts::SavedTexts(std::string directory, LogFunction log)
    : directory_(std::move(directory)), log_(std::move(log)) {}

bool SavedTexts::Writable() const {
  // The home first: without SAVEEMAIL it is the save directory as well.
  const std::string home = platform::ProgramHome();
  for (const std::string& directory : {home, directory_}) {
    const std::string path = platform::ResolveName(directory);
    if (::access(path.c_str(), W_OK | X_OK) == 0) continue;
    const std::string why = platform::ErrorText(errno);
    Log(directory == home
            ? "-- Home " + path + " cannot be written (" + why +
                  "), nothing taken: set KESTREL_HOME to a directory of this user"
            : "-- SaveEmail directory " + path + " cannot be written (" + why + "), nothing taken");
    return false;
  }
  return true;
}

void SavedTexts::Prune(const SavedTextBounds& bounds, std::time_t now) {
  if (std::exchange(pruned_, true) || (bounds.days == 0 && bounds.bytes == 0)) return;
  const std::unique_ptr<DIR, DirectoryCloser> directory(
      ::opendir(platform::ResolveName(directory_).c_str()));
  if (!directory) return;
  const std::vector<FoundText> texts = FindTexts(directory.get());
  std::uint64_t total = 0;
  for (const FoundText& text : texts) total += text.bytes;
  const std::time_t oldest_kept =
      bounds.days == 0 ? 0 : now - static_cast<std::time_t>(bounds.days) * kSecondsPerDay;
  std::size_t removed = 0;
  std::uint64_t freed = 0;
  for (const FoundText& text : texts) {
    const bool too_old = text.modified < oldest_kept;
    const bool too_many = bounds.bytes != 0 && total > bounds.bytes;
    // Oldest first: once one may stay, all younger ones may too.
    if ((!too_old && !too_many) || now - text.modified < kYoungestPrunedSeconds) break;
    if (::unlinkat(::dirfd(directory.get()), text.name.c_str(), 0) != 0) continue;
    total -= text.bytes;
    freed += text.bytes;
    ++removed;
  }
  if (removed == 0) return;
  Log("-- Removed " + std::to_string(removed) + " saved texts (" + std::to_string(freed) +
      " bytes) beyond SAVEDAYS " + std::to_string(bounds.days) + " or SAVEMAX " +
      std::to_string(bounds.bytes) + ", " + std::to_string(total) + " bytes kept");
}

std::string SavedTexts::Stem() const {
  return core::ZeroPadNumber(highest_, kSavedTextDigits);
}

std::string SavedTexts::Path(std::int32_t number) const {
  return directory_ + core::ZeroPadNumber(number, kSavedTextDigits) + ".TXT";
}

bool SavedTexts::Create() {
  const std::int32_t before = highest_;
  const std::int32_t first = NextNumber(before);
  std::int32_t last_existing = before;
  highest_ = first;
  for (int skip = 0; skip <= kMaxSavedTextSkips; ++skip) {
    file_ = platform::CreatePrivateFile(Path(highest_));
    if (file_) {
      (void)platform::GiveDirectoryOwner(Path(highest_), directory_);
      if (highest_ != first) {
        Log("-- Saved texts " + std::to_string(first) + " to " + std::to_string(last_existing) +
            " already exist, using " + std::to_string(highest_));
      }
      return true;
    }
    if (errno != EEXIST) break;
    last_existing = highest_;
    highest_ = NextNumber(highest_);
  }
  const std::string why = errno == EEXIST
                              ? Path(first) + " to " + Path(last_existing) + " all exist"
                              : Path(highest_) + ": " + platform::ErrorText(errno);
  highest_ = before;
  Log("-- Could not write to SaveEmail directory (" + why + ")");
  return false;
}

bool SavedTexts::Close() {
  if (std::fclose(file_.release()) == 0) return true;
  Log("-- Could not write to SaveEmail directory (" + Path(highest_) + ": " +
      platform::ErrorText(errno) + ")");
  return false;
}

void SavedTexts::Discard() {
  file_.reset();
  (void)platform::DeleteFile(Path(highest_));
  --highest_;
}

void SavedTexts::Discard(const std::vector<std::int32_t>& numbers) {
  if (numbers.empty()) return;
  for (const std::int32_t number : numbers) (void)platform::DeleteFile(Path(number));
  highest_ = numbers.front() - 1;
}

}  // namespace kestrel::receive
