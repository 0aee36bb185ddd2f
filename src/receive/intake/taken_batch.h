// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Messages taken whole from the server that go to the disk together: their
// files wait under partial names and their saved texts unsynced, until one
// flush syncs them all, names each message's files and appends its journal
// entry at once, then syncs both directories and the journal once. Only then
// may they leave the server. A kill before leaves partial files, which the
// next run removes while the messages come again, and at most one message
// named but not yet in the journal: one second copy, as when each message
// went alone.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "receive/intake/inbound_file.h"
#include "receive/intake/received_journal.h"
#include "receive/intake/saved_texts.h"

namespace kestrel::receive {

// A batch is flushed at this many messages or bytes of their data, whichever
// comes first: a Stop or a kill then costs little, and few fetches wait.
inline constexpr std::size_t kMaxBatchMessages = 50;
inline constexpr std::uint64_t kMaxBatchBytes = 8 * 1024 * 1024;

struct TakenMessage {
  std::string label;  // "3": what the log calls the message
  std::int32_t saved_text = 0;
  std::vector<HeldFile> files;
  std::optional<JournalEntry> entry;  // none for joined pieces
};

class TakenBatch {
 public:
  using LogFunction = std::function<void(std::string_view)>;

  // inbound: where the files are, ending in a separator.
  TakenBatch(SavedTexts& saved, ReceivedJournal& journal, std::string inbound, LogFunction log);

  void Add(TakenMessage message, std::uint64_t bytes);
  [[nodiscard]] bool Full() const {
    return messages_.size() >= kMaxBatchMessages || bytes_ >= kMaxBatchBytes;
  }
  // What the batch takes before it is full: messages, and bytes of their data.
  [[nodiscard]] std::size_t MessageRoom() const {
    return messages_.size() < kMaxBatchMessages ? kMaxBatchMessages - messages_.size() : 0;
  }
  [[nodiscard]] std::uint64_t ByteRoom() const {
    return bytes_ < kMaxBatchBytes ? kMaxBatchBytes - bytes_ : 0;
  }
  [[nodiscard]] const std::vector<TakenMessage>& messages() const { return messages_; }
  // A message of the batch has this unique id or this real Message-ID.
  [[nodiscard]] bool Knows(std::string_view uid, std::string_view message_id) const;

  // Everything of the batch on the disk, each file named in the log; what
  // failed, or empty. After a failure the files and saved texts of messages
  // the journal does not know are gone again; those it knows stay, and the
  // next run finds them received. The batch is empty afterwards.
  [[nodiscard]] std::string Flush();

 private:
  [[nodiscard]] std::string SyncContents() const;
  [[nodiscard]] std::string PublishAndRecord(std::vector<std::vector<std::string>>& names_r,
                                             std::size_t& recorded_r);
  [[nodiscard]] std::string SyncDirectories() const;
  [[nodiscard]] std::string SyncJournal();
  void LogReceived(const std::vector<std::string>& names, std::string_view label) const;
  void Remove(const std::vector<std::vector<std::string>>& names,
              const std::vector<std::size_t>& gone);

  SavedTexts& saved_;
  ReceivedJournal& journal_;
  const std::string inbound_;
  LogFunction log_;
  std::vector<TakenMessage> messages_;
  std::uint64_t bytes_ = 0;
};

}  // namespace kestrel::receive
