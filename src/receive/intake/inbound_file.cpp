// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/intake/inbound_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <utility>

#include "platform/error_text.h"
#include "receive/intake/attachment_names.h"

namespace kestrel::receive {
namespace {

using core::Field;

// Progress fields are refreshed at most this often: each refresh is a write
// the window carries out while the worker waits.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);
// Lines (calls) between two looks at the clock: a few KiB of data.
constexpr int kCallsPerClockRead = 32;
// Speed is shown only once this many whole seconds have passed.
constexpr std::int32_t kMinSecondsForSpeed = 2;
// Log lines naming a file are cut like this.
constexpr std::size_t kMaxDecodingLine = 140;
constexpr std::size_t kMaxRenamingLine = 165;

// Errors that come from the name rather than from the inbound.
bool NameError(int error) {
  return error == ENAMETOOLONG || error == EINVAL || error == EILSEQ || error == EEXIST;
}

bool SyncAndClose(platform::UniqueFile& file) {
  std::FILE* raw = file.release();
  bool ok = std::fflush(raw) == 0;
  ok = ::fsync(::fileno(raw)) == 0 && ok;
  ok = std::fclose(raw) == 0 && ok;
  return ok;
}

std::string WithError(const std::string& what, int error) {
  return what + " (" + platform::ErrorText(error) + ")";
}

}  // namespace

InboundFile::InboundFile(core::FrontEnd& front_end, LogFunction log, std::string inbound)
    : front_end_(front_end), log_(std::move(log)), inbound_(std::move(inbound)) {}

InboundFile::~InboundFile() {
  if (is_open()) Abandon();
}

bool InboundFile::Open(const std::string& name) {
  if (is_open()) Abandon();
  failure_ = {};
  name_ = name;
  asked_ = name;
  Log(("-- Decoding " + name).substr(0, kMaxDecodingLine));
  const std::optional<std::string> free_name = FindFreeName(inbound_, name);
  if (!free_name) {
    Fail("no free name left in the inbound", false);
    return false;
  }
  if (*free_name != name) {
    Log(("-- File already existed, renaming to " + *free_name).substr(0, kMaxRenamingLine));
  }
  front_end_.SetField(Field::GetFilename, *free_name);
  // A file of the same name may be held already: its hidden file stays.
  for (int variant = 1; held_ && platform::FileExists(inbound_ + PartialName(name_)); ++variant) {
    name_ = name + "~" + std::to_string(variant);
  }
  output_ = CreatePartialFile(inbound_, name_);
  if (!output_) {
    const int error = errno;
    Fail(WithError("could not be created", error), !NameError(error));
    return false;
  }
  wanted_ = *free_name;
  written_ = 0;
  last_progress_ = {};
  calls_since_refresh_ = 0;
  stopwatch_.Start();
  return true;
}

bool WriteHandingToDisk(std::FILE* file, std::string_view bytes, std::uint64_t written) {
  const bool passed_mark = (written + bytes.size()) / kWritebackBytes != written / kWritebackBytes;
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() &&
         (!passed_mark || platform::StartWriteback(file));
}

bool InboundFile::Write(std::string_view bytes) {
  if (!is_open()) return false;
  if (!WriteHandingToDisk(output_.get(), bytes, written_)) {
    const int error = errno;
    Abandon();
    Fail(WithError("could not be written", error), true);
    return false;
  }
  written_ += bytes.size();
  return true;
}

void InboundFile::ShowProgress(std::uint64_t pending, bool force) {
  // The clock is read only every few calls: a call comes with every line.
  if (!force && ++calls_since_refresh_ < kCallsPerClockRead) return;
  calls_since_refresh_ = 0;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - last_progress_ < kProgressInterval) return;
  last_progress_ = now;
  const std::uint64_t bytes = written_ + pending;
  front_end_.SetField(Field::GetByteProgress, std::to_string(bytes));
  const std::int32_t seconds = stopwatch_.ElapsedSeconds();
  if (is_open() && seconds > kMinSecondsForSpeed) {
    front_end_.SetField(Field::GetCPS, std::to_string(bytes / static_cast<std::uint64_t>(seconds)));
  }
}

std::optional<std::string> InboundFile::Finish() {
  if (!is_open()) return std::nullopt;
  ShowProgress(0, true);
  front_end_.SetField(Field::GetCPS, "");
  std::optional<std::string> name = held_ ? Hold() : SyncAndPublish();
  if (!name) return name;
  Log("-- File decoded");
  const std::int32_t seconds = stopwatch_.ElapsedSeconds();
  if (seconds > kMinSecondsForSpeed) {
    Log("-- Speed was " + std::to_string(written_ / static_cast<std::uint64_t>(seconds)) +
        " characters per second (CPS)");
  }
  return name;
}

std::optional<std::string> InboundFile::SyncAndPublish() {
  if (!SyncAndClose(output_)) {
    const int error = errno;
    DeletePartialFile();
    Fail(WithError("could not be written", error), true);
    return std::nullopt;
  }
  std::string reason;
  std::optional<std::string> published =
      PublishHeldFile(inbound_, {name_, asked_, wanted_}, log_, reason);
  if (!published) {
    const bool every_message = errno != EEXIST;
    DeletePartialFile();
    Fail(reason, every_message);
    return std::nullopt;
  }
  if (*published != wanted_) front_end_.SetField(Field::GetFilename, *published);
  return published;
}

std::optional<std::string> PublishHeldFile(const std::string& inbound, const HeldFile& file,
                                           const InboundFile::LogFunction& log,
                                           std::string& reason_r) {
  // The name may have been taken while the file was written (by a file of
  // the same batch, too): the first free one of the name asked for then.
  std::optional<std::string> wanted = file.wanted;
  if (platform::FileExists(inbound + file.wanted)) wanted = FindFreeName(inbound, file.asked);
  std::optional<std::string> published =
      PublishPartialFile(inbound, file.name, wanted.value_or(file.wanted));
  if (!published) {
    const int error = errno;
    reason_r = error == EEXIST ? std::string("no free name left in the inbound")
                               : WithError("could not be given its name", error);
    errno = error;
    return std::nullopt;
  }
  if (*published != file.wanted) {
    log(("-- File already existed, renaming to " + *published).substr(0, kMaxRenamingLine));
  }
  return published;
}

std::optional<std::string> InboundFile::Hold() {
  // Handed to the disk now, the batch's sync finds little left to write.
  bool written = platform::StartWriteback(output_.get());
  int error = errno;
  if (std::fclose(output_.release()) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written) {
    DeletePartialFile();
    Fail(WithError("could not be written", error), true);
    return std::nullopt;
  }
  held_->push_back({name_, asked_, wanted_});
  return wanted_;
}

void InboundFile::Remove(const std::string& name) {
  if (!held_) {
    (void)platform::DeleteFile(inbound_ + name);
    return;
  }
  const auto held = std::find_if(held_->rbegin(), held_->rend(),
                                 [&name](const HeldFile& file) { return file.wanted == name; });
  if (held == held_->rend()) return;
  (void)platform::DeleteFile(inbound_ + PartialName(held->name));
  held_->erase(std::next(held).base());
}

void InboundFile::Abandon() {
  output_.reset();
  DeletePartialFile();
  front_end_.SetField(Field::GetCPS, "");
}

void InboundFile::Fail(std::string reason, bool every_message) {
  failure_ = {std::move(reason), every_message};
}

void InboundFile::DeletePartialFile() {
  (void)platform::DeleteFile(inbound_ + PartialName(name_));
}

}  // namespace kestrel::receive
