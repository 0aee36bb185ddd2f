// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/saved_texts.h"

#include <cerrno>
#include <utility>

#include "core/le_bytes.h"
#include "core/text_utils.h"
#include "platform/directory_owner.h"
#include "platform/error_text.h"

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
    file_ = platform::OpenFile(Path(highest_), "wbx");
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
