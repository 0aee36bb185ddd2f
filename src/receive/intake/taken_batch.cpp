// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/intake/taken_batch.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <utility>

#include "platform/error_text.h"
#include "platform/file_names.h"
#include "platform/files.h"
#include "receive/intake/attachment_names.h"

namespace kestrel::receive {
namespace {

std::string Failed(const std::string& path) {
  return path + ": " + platform::ErrorText(errno);
}

}  // namespace

TakenBatch::TakenBatch(SavedTexts& saved, ReceivedJournal& journal, std::string inbound,
                       LogFunction log)
    : saved_(saved), journal_(journal), inbound_(std::move(inbound)), log_(std::move(log)) {}

void TakenBatch::Add(TakenMessage message, std::uint64_t bytes) {
  messages_.push_back(std::move(message));
  bytes_ += bytes;
}

bool TakenBatch::Knows(std::string_view uid, std::string_view message_id) const {
  const bool real_id = !message_id.empty() && message_id != "<>";
  return std::any_of(messages_.begin(), messages_.end(), [&](const TakenMessage& message) {
    return message.entry && ((!uid.empty() && message.entry->uid == uid) ||
                             (real_id && message.entry->message_id == message_id));
  });
}

std::string TakenBatch::Flush() {
  if (messages_.empty()) return {};
  // After a power cut the saved texts and the files must still be there
  // under their names once the server has dropped the messages; and the
  // journal must know them, or a DELE lost on the way brings them in twice.
  std::vector<std::vector<std::string>> names;
  std::size_t recorded = 0;
  std::string failed = SyncContents();
  if (failed.empty()) failed = PublishAndRecord(names, recorded);
  if (failed.empty()) failed = SyncDirectories();
  if (failed.empty()) failed = SyncJournal();
  std::vector<std::size_t> gone;
  for (std::size_t i = 0; i < messages_.size(); ++i) {
    // A message the journal knows stays; so does all of a batch that is safe.
    if (failed.empty() || (i < recorded && messages_[i].entry)) {
      LogReceived(names[i], messages_[i].label);
    } else {
      gone.push_back(i);
    }
  }
  Remove(names, gone);
  messages_.clear();
  bytes_ = 0;
  return failed;
}

// The content first: a name must never stand for data not yet on the disk.
std::string TakenBatch::SyncContents() const {
  for (const TakenMessage& message : messages_) {
    for (const HeldFile& file : message.files) {
      const std::string path = inbound_ + PartialName(file.name);
      if (!platform::SyncFile(path)) return Failed(path);
    }
    if (!saved_.Sync(message.saved_text)) return Failed(saved_.Path(message.saved_text));
  }
  return {};
}

// Each message's files get their names and, straight after, its journal
// entry is appended (synced later): a kill between the two is the only way
// to a second copy, and costs one message at most. The names each message's
// files got go in `names_r`, as far as they got one; `recorded_r` counts the
// messages through.
std::string TakenBatch::PublishAndRecord(std::vector<std::vector<std::string>>& names_r,
                                         std::size_t& recorded_r) {
  const std::int64_t now = std::time(nullptr);
  for (const TakenMessage& message : messages_) {
    std::vector<std::string>& names = names_r.emplace_back();
    for (const HeldFile& file : message.files) {
      std::string reason;
      const std::optional<std::string> name = PublishHeldFile(inbound_, file, log_, reason);
      if (!name) return inbound_ + file.wanted + ": " + reason;
      names.push_back(*name);
    }
    std::string error;
    if (message.entry && !journal_.Record(*message.entry, now, error, false)) {
      return journal_.path() + ": " + error;
    }
    ++recorded_r;
  }
  return {};
}

// The saved texts and the files just named keep their names through a
// power cut.
std::string TakenBatch::SyncDirectories() const {
  if (!platform::SyncDirectory(saved_.directory())) return Failed(saved_.directory());
  if (!platform::SyncDirectory(inbound_)) return Failed(inbound_);
  return {};
}

std::string TakenBatch::SyncJournal() {
  const bool any = std::any_of(messages_.begin(), messages_.end(),
                               [](const TakenMessage& message) { return message.entry; });
  std::string error;
  if (!any || journal_.SyncRecorded(error)) return {};
  return journal_.path() + ": " + error;
}

// The log of a month later names every file that came in.
void TakenBatch::LogReceived(const std::vector<std::string>& names, std::string_view label) const {
  for (const std::string& name : names) {
    const std::string path = platform::ResolveName(inbound_ + name);
    const std::optional<std::uint64_t> size = platform::FileSize(path);
    log_("-- Received " + path + " (" + std::to_string(size.value_or(0)) + " bytes), message " +
         std::string(label));
  }
}

// Files the journal does not know must not stay: the messages come again
// whole on a later run, and nothing arrives twice. Those it knows stay with
// their entries, and the next run deletes the messages as received.
void TakenBatch::Remove(const std::vector<std::vector<std::string>>& names,
                        const std::vector<std::size_t>& gone) {
  std::vector<std::int32_t> numbers;
  for (const std::size_t i : gone) {
    const std::vector<HeldFile>& files = messages_[i].files;
    for (std::size_t j = 0; j < files.size(); ++j) {
      const bool named = i < names.size() && j < names[i].size();
      (void)platform::DeleteFile(inbound_ + (named ? names[i][j] : PartialName(files[j].name)));
    }
    numbers.push_back(messages_[i].saved_text);
  }
  std::sort(numbers.begin(), numbers.end());
  saved_.Discard(numbers);
}

}  // namespace kestrel::receive
