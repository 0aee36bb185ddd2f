// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/file_names.h"
#include "platform/unique_fd.h"

namespace kestrel::platform {

namespace {

// Bytes read from a file at once.
constexpr std::size_t kReadChunk = 64 * 1024;

bool StatResolved(std::string_view name, struct stat& info) {
  return stat(ResolveName(name).c_str(), &info) == 0;
}

bool WriteAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = write(fd, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t cut = path.find_last_of('/');
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : path.substr(0, cut);
}

// Best effort, as some file systems refuse to sync a directory.
void SyncRealDirectory(const std::string& directory) {
  const UniqueFd dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) fsync(dir.get());
}

// Makes a name just created, renamed or removed in a directory durable.
void SyncDirectoryOf(const std::string& path) {
  SyncRealDirectory(DirectoryOf(path));
}

}  // namespace

UniqueFile OpenFile(std::string_view name, const char* mode) {
  return UniqueFile(std::fopen(ResolveName(name).c_str(), mode));
}

UniqueFile CreatePrivateFile(std::string_view name) {
  UniqueFd fd(open(ResolveName(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd) return nullptr;
  UniqueFile file(fdopen(fd.get(), "wb"));
  // The stream owns the descriptor from here; without one it is closed.
  if (file) (void)fd.Release();
  return file;
}

bool FileExists(std::string_view name) {
  struct stat info {};
  return StatResolved(name, info) && S_ISREG(info.st_mode);
}

bool DirectoryExists(std::string_view name) {
  struct stat info {};
  return StatResolved(name, info) && S_ISDIR(info.st_mode);
}

std::optional<std::uint64_t> FileSize(std::string_view name) {
  struct stat info {};
  if (!StatResolved(name, info) || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

std::optional<FileIdentity> IdentifyFile(std::string_view name) {
  const std::string resolved = ResolveName(name);
  struct stat info {};
  if (stat(resolved.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  FileIdentity identity;
  char* real = realpath(resolved.c_str(), nullptr);
  identity.real_path = real ? real : resolved;
  std::free(real);
  identity.size = static_cast<std::uint64_t>(info.st_size);
  identity.modified_ns =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
  return identity;
}

bool DeleteFile(std::string_view name) {
  return unlink(ResolveName(name).c_str()) == 0;
}

bool RenameFile(std::string_view from, std::string_view to) {
  return rename(ResolveName(from).c_str(), ResolveName(to).c_str()) == 0;
}

bool TruncateFile(std::string_view name) {
  return truncate(ResolveName(name).c_str(), 0) == 0;
}

std::optional<std::string> ReadFilePrefix(std::string_view name, std::size_t max_bytes) {
  UniqueFile file = OpenFile(name, "rb");
  if (!file) return std::nullopt;
  std::string content;
  char buffer[65536];
  while (content.size() < max_bytes) {
    const std::size_t want = std::min(sizeof buffer, max_bytes - content.size());
    const std::size_t got = std::fread(buffer, 1, want, file.get());
    content.append(buffer, got);
    if (got < want) {
      if (std::ferror(file.get())) return std::nullopt;
      break;
    }
  }
  return content;
}

ReadOutcome ReadRest(std::FILE* file, std::uint64_t max_bytes, std::string& content_r) {
  content_r.clear();
  char buffer[kReadChunk];
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
    if (content_r.size() + got > max_bytes) return ReadOutcome::TooLarge;
    content_r.append(buffer, got);
    if (got < sizeof buffer) return std::ferror(file) ? ReadOutcome::ReadError : ReadOutcome::Ok;
  }
}

ReadOutcome ReadBoundedFile(std::string_view name, std::size_t min_bytes, std::uint64_t max_bytes,
                            std::string& content_r) {
  UniqueFile file = OpenFile(name, "rb");
  if (!file) return ReadOutcome::CannotOpen;
  const ReadOutcome outcome = ReadRest(file.get(), max_bytes, content_r);
  if (outcome != ReadOutcome::Ok) return outcome;
  return content_r.size() < min_bytes ? ReadOutcome::TooShort : ReadOutcome::Ok;
}

namespace {

// Gives the open temporary file the owner and group of the file it replaces,
// when they differ from its own.
bool GiveOwner(int fd, const struct stat& old_info) {
  struct stat own {};
  if (fstat(fd, &own) != 0) return false;
  if (own.st_uid == old_info.st_uid && own.st_gid == old_info.st_gid) return true;
  return fchown(fd, old_info.st_uid, old_info.st_gid) == 0;
}

// mkstemp's template: the target's name, this, and six characters.
constexpr std::string_view kReplacementInfix = ".kestrel-";
constexpr std::size_t kReplacementSuffixChars = 6;

ReplaceOutcome Replace(std::string_view name, std::string_view content, bool keep_owner,
                       const std::function<void()>& before_rename) {
  const std::string target = ResolveName(name);
  std::string temp = target + std::string(kReplacementInfix) + "XXXXXX";
  UniqueFd fd(mkstemp(temp.data()));
  if (!fd) return ReplaceOutcome::Failed;
  struct stat old_info {};
  const bool had_old = stat(target.c_str(), &old_info) == 0;
  if (had_old && keep_owner && !GiveOwner(fd.get(), old_info)) {
    const int error = errno;
    fd.Reset();
    unlink(temp.c_str());
    errno = error;
    return ReplaceOutcome::OwnerNotKept;
  }
  // After the owner: a change of owner clears the set-id bits.
  if (had_old) fchmod(fd.get(), old_info.st_mode & 07777);
  const bool written = WriteAll(fd.get(), content) && fsync(fd.get()) == 0;
  const bool closed = fd.Close();
  if (written && closed && before_rename) before_rename();
  if (!written || !closed || rename(temp.c_str(), target.c_str()) != 0) {
    const int error = errno;
    unlink(temp.c_str());
    errno = error;
    return ReplaceOutcome::Failed;
  }
  // Make the rename itself durable.
  SyncDirectoryOf(target);
  return ReplaceOutcome::Replaced;
}

}  // namespace

void RemoveUnfinishedReplacements(std::string_view name) {
  const std::string target = ResolveName(name);
  const std::size_t slash = target.find_last_of('/');
  const std::string directory = slash == std::string::npos ? "./" : target.substr(0, slash + 1);
  const std::string prefix = (slash == std::string::npos ? target : target.substr(slash + 1)) +
                             std::string(kReplacementInfix);
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view entry_name = entry->d_name;
    if (entry_name.size() == prefix.size() + kReplacementSuffixChars &&
        entry_name.substr(0, prefix.size()) == prefix) {
      unlink((directory + std::string(entry_name)).c_str());
    }
  }
  closedir(dir);
}

bool SyncDirectory(std::string_view directory) {
  const UniqueFd dir(open(ResolveName(directory).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return false;
  return fsync(dir.get()) == 0 || errno == EINVAL || errno == ENOTSUP;
}

namespace {

bool SyncWith(std::string_view name, int (*sync)(int)) {
  const UniqueFd fd(open(ResolveName(name).c_str(), O_RDONLY | O_CLOEXEC));
  return fd && sync(fd.get()) == 0;
}

enum class AppendSync { Now, Writeback, Later };

bool Append(std::string_view name, std::string_view text, AppendSync sync) {
  const std::string target = ResolveName(name);
  const bool existed = access(target.c_str(), F_OK) == 0;
  if (!existed && sync == AppendSync::Writeback) sync = AppendSync::Now;
  UniqueFd fd(open(target.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
  if (!fd) return false;
  bool written = WriteAll(fd.get(), text);
  if (written && sync == AppendSync::Now) written = fdatasync(fd.get()) == 0;
  // Only a hint: where it is not supported, the later sync does it all.
  if (written && sync == AppendSync::Writeback)
    (void)::sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
  const int error = errno;
  const bool closed = fd.Close();
  if (!existed) SyncDirectoryOf(target);
  if (!written) errno = error;
  return written && closed;
}

}  // namespace

bool SyncFile(std::string_view name) {
  return SyncWith(name, fsync);
}

bool SyncFileData(std::string_view name) {
  return SyncWith(name, fdatasync);
}

bool StartWriteback(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  // Only a hint: where the call is not supported, the final sync does it all.
  (void)::sync_file_range(::fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
  return true;
}

bool AppendDurably(std::string_view name, std::string_view text) {
  return Append(name, text, AppendSync::Now);
}

bool AppendToFile(std::string_view name, std::string_view text) {
  return Append(name, text, AppendSync::Later);
}

bool AppendStartingWriteback(std::string_view name, std::string_view text) {
  return Append(name, text, AppendSync::Writeback);
}

bool ReplaceFileContent(std::string_view name, std::string_view content) {
  return Replace(name, content, /*keep_owner=*/false, {}) == ReplaceOutcome::Replaced;
}

ReplaceOutcome ReplaceKeepingOwner(std::string_view name, std::string_view content,
                                   const std::function<void()>& before_rename) {
  return Replace(name, content, /*keep_owner=*/true, before_rename);
}

bool CreateFileExclusive(std::string_view name, std::string_view content) {
  const UniqueFd fd(open(ResolveName(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd) return false;
  // Created is created: a content that could not be written leaves the file ours.
  (void)WriteAll(fd.get(), content);
  return true;
}

std::optional<FileStamp> StampOf(std::string_view name) {
  struct stat info {};
  if (lstat(ResolveName(name).c_str(), &info) != 0) return std::nullopt;
  return FileStamp{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                   info.st_mtime};
}

bool TouchFile(std::string_view name) {
  return utimensat(AT_FDCWD, ResolveName(name).c_str(), nullptr, 0) == 0;
}

}  // namespace kestrel::platform
