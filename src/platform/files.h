// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// File operations through Windows-like names (see file_names.h).

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::platform {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// fopen on the resolved name; null on failure (errno set).
[[nodiscard]] UniqueFile OpenFile(std::string_view name, const char* mode);

// A new file, readable by its owner alone (it may hold others' mail), open
// for writing; null when it exists or cannot be made (errno set).
[[nodiscard]] UniqueFile CreatePrivateFile(std::string_view name);

[[nodiscard]] bool FileExists(std::string_view name);  // a regular file
[[nodiscard]] bool DirectoryExists(std::string_view name);
[[nodiscard]] std::optional<std::uint64_t> FileSize(std::string_view name);

// What tells one version of a file from another.
struct FileIdentity {
  std::string real_path;  // absolute, symbolic links resolved
  std::uint64_t size = 0;
  std::int64_t modified_ns = 0;  // modification time, nanoseconds since 1970
};
// Nothing when the name is no regular file.
[[nodiscard]] std::optional<FileIdentity> IdentifyFile(std::string_view name);

[[nodiscard]] bool DeleteFile(std::string_view name);
[[nodiscard]] bool RenameFile(std::string_view from, std::string_view to);
[[nodiscard]] bool TruncateFile(std::string_view name);  // to zero length

// Reads at most max_bytes of a file; nothing when it cannot be opened or read.
[[nodiscard]] std::optional<std::string> ReadFilePrefix(std::string_view name,
                                                        std::size_t max_bytes);

enum class ReadOutcome { Ok, CannotOpen, TooShort, TooLarge, ReadError };

// Reads a file whole when it holds at least min_bytes and at most max_bytes.
[[nodiscard]] ReadOutcome ReadBoundedFile(std::string_view name, std::size_t min_bytes,
                                          std::uint64_t max_bytes, std::string& content_r);

// Reads a whole open file from its current position, at most max_bytes.
[[nodiscard]] ReadOutcome ReadRest(std::FILE* file, std::uint64_t max_bytes,
                                   std::string& content_r);

// Replaces a file's content atomically: written and synced under a temporary
// name in the same directory, then renamed over the old file, so a crash
// leaves either the old or the new content. Creates the file when missing.
[[nodiscard]] bool ReplaceFileContent(std::string_view name, std::string_view content);
// Removes the temporary files that replacements of `name` killed midway left
// beside it; for a file only one job of a run replaces.
void RemoveUnfinishedReplacements(std::string_view name);

// Appends `text` to a file (created for the owner alone when missing) and
// syncs it before returning: a crash keeps everything appended before, and at
// most a torn end of what was being appended. False (errno set) on failure.
[[nodiscard]] bool AppendDurably(std::string_view name, std::string_view text);
// The same without the sync: the text survives a kill of the program at once,
// a power cut only after SyncFileData.
[[nodiscard]] bool AppendToFile(std::string_view name, std::string_view text);
// AppendToFile that also hands the text to the disk without waiting, so that
// the next sync of any file on that file system (a journal commit) takes it
// along and its own SyncFileData has nothing left to commit. A missing file is
// created and synced at once, its name with it.
[[nodiscard]] bool AppendStartingWriteback(std::string_view name, std::string_view text);

// Makes the names just created, renamed or removed in `directory` durable
// (a file's own content is synced on its own). A file system that cannot
// sync a directory counts as done; false (errno set) when the directory
// cannot be opened or its sync fails.
[[nodiscard]] bool SyncDirectory(std::string_view directory);

// Syncs a closed file's content; false (errno set) when it cannot be opened
// or its sync fails.
[[nodiscard]] bool SyncFile(std::string_view name);
// The same for the content alone (fdatasync): what was appended.
[[nodiscard]] bool SyncFileData(std::string_view name);

// Hands what was written to `file` so far to the disk without waiting, so
// that the sync at its end has little left to do. False (errno set) when the
// buffered data could not be written.
[[nodiscard]] bool StartWriteback(std::FILE* file);

enum class ReplaceOutcome { Replaced, OwnerNotKept, Failed };

// ReplaceFileContent for a file of another program (the mailer's flow files,
// lists and messages): the new file gets the old one's owner and group as
// well as its mode before it takes the old one's place. When the owner cannot
// be given (errno tells why), the old file stays as it was: OwnerNotKept.
// `before_rename` runs once the new content is synced, just before it takes
// the old one's place: a sync that must come first rides on the same commit.
[[nodiscard]] ReplaceOutcome ReplaceKeepingOwner(std::string_view name, std::string_view content,
                                                 const std::function<void()>& before_rename = {});

// Creates a file only when it does not exist yet (O_EXCL) and writes `content`
// into it as far as that goes; false when it exists or cannot be created.
[[nodiscard]] bool CreateFileExclusive(std::string_view name, std::string_view content = {});

// Which file a name stands for at one moment, and since when it is unchanged;
// the name itself (a link too), not what a link points to.
struct FileStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::time_t modified = 0;
  bool operator==(const FileStamp&) const = default;
};
[[nodiscard]] std::optional<FileStamp> StampOf(std::string_view name);

// Sets the file's modification time to now.
[[nodiscard]] bool TouchFile(std::string_view name);

}  // namespace kestrel::platform
