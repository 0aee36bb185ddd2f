// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// One received file on its way into the inbound: written under a hidden
// name, synced, and given a free name of its own only once it is whole, so
// a tosser never sees half a file. Shows its progress and speed in the
// window's fields.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/front_end.h"
#include "core/stopwatch.h"
#include "platform/files.h"

namespace kestrel::receive {

// Every this many bytes written, a received file (or saved text) is handed
// to the disk, so that its sync before DELE does not wait for all of it.
inline constexpr std::uint64_t kWritebackBytes = 8 * 1024 * 1024;

// Writes `bytes` to a file that holds `written` bytes so far, handing it to
// the disk when another kWritebackBytes are passed. False (errno set) when
// the write failed.
[[nodiscard]] bool WriteHandingToDisk(std::FILE* file, std::string_view bytes,
                                      std::uint64_t written);

// A whole file that waits under its partial name for the sync and the name
// a batch of taken messages gives all its files at once.
struct HeldFile {
  std::string name;    // as PartialName knows it
  std::string asked;   // the name the mail gave it
  std::string wanted;  // the free name it had when it was started
};

class InboundFile {
 public:
  using LogFunction = std::function<void(std::string_view)>;

  // Why the file could not be saved.
  struct Failure {
    std::string reason;  // "could not be written (No space left on device)"
    // The inbound itself failed (disk full, not writable): any later file
    // would fail as well. Otherwise only this file's name was the trouble.
    bool every_message = false;
  };

  // inbound: the directory, ending in a separator.
  InboundFile(core::FrontEnd& front_end, LogFunction log, std::string inbound);
  ~InboundFile();
  InboundFile(const InboundFile&) = delete;
  InboundFile& operator=(const InboundFile&) = delete;

  // Starts the file `name` (already a safe name); logs "-- Decoding NAME".
  // False when it cannot be created (see failure()).
  [[nodiscard]] bool Open(const std::string& name);
  [[nodiscard]] bool is_open() const { return output_ != nullptr; }

  // Appends bytes; false (and the file given up) when they cannot be written.
  [[nodiscard]] bool Write(std::string_view bytes);
  // Shows the bytes so far, with `pending` more decoded but not yet written;
  // at most every 100 ms (and every 32nd call) unless forced.
  void ShowProgress(std::uint64_t pending, bool force = false);

  // From now on finished files are closed and added to `held`, not synced
  // and named: whoever holds them does that for many at once.
  void HoldNames(std::vector<HeldFile>* held) { held_ = held; }

  // The file is whole: synced, closed and named, or held. The name it got
  // (or is to get), or nothing (the file is then removed; failure() says why).
  [[nodiscard]] std::optional<std::string> Finish();
  // Removes an unfinished file.
  void Abandon();
  // Removes a finished file again, held or named.
  void Remove(const std::string& name);

  [[nodiscard]] const Failure& failure() const { return failure_; }

 private:
  [[nodiscard]] std::optional<std::string> SyncAndPublish();
  [[nodiscard]] std::optional<std::string> Hold();
  void Fail(std::string reason, bool every_message);
  void DeletePartialFile();
  void Log(std::string_view text) { log_(text); }

  core::FrontEnd& front_end_;
  LogFunction log_;
  const std::string inbound_;

  std::vector<HeldFile>* held_ = nullptr;
  platform::UniqueFile output_;
  std::string name_;    // names the hidden file: the name asked for, or a variant while held
  std::string asked_;   // the name asked for
  std::string wanted_;  // the free name found when it was opened
  std::uint64_t written_ = 0;
  std::chrono::steady_clock::time_point last_progress_{};
  int calls_since_refresh_ = 0;
  core::Stopwatch stopwatch_;
  Failure failure_;
};

// Gives a held file, synced, the first free name among its wanted one and
// its variants (a line when it is another); the name, or nothing with the
// reason in `reason_r` (errno EEXIST when every name was taken). The file
// stays where it was then.
[[nodiscard]] std::optional<std::string> PublishHeldFile(const std::string& inbound,
                                                         const HeldFile& file,
                                                         const InboundFile::LogFunction& log,
                                                         std::string& reason_r);

}  // namespace kestrel::receive
