// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The progress fields of a send run: files and bytes of the run, the current
// file's bytes, percentages, seconds left and speeds, updated once a second
// while an attachment goes.

#include <cstdint>
#include <optional>
#include <string>

#include "core/front_end.h"
#include "core/stopwatch.h"

namespace kestrel::send {

class TransferProgress {
 public:
  explicit TransferProgress(core::FrontEnd& front_end) : front_end_(front_end) {}

  // A new run of `files` files and `total_bytes` bytes: counters to 0.
  void StartRun(std::int64_t total_bytes, int files);
  // Empties the current file's fields before the next file.
  void ClearFile();

  // An attachment of `size` bytes begins, of a run now `run_total` bytes.
  void StartFile(const std::string& name, std::int64_t size, std::int64_t run_total);
  // `data_bytes` more of the file are out. True when a new second began and
  // the fields were updated.
  bool Advance(std::uint64_t data_bytes);
  // The attachment ended, whole or not: its bytes join the run's. Returns its
  // speed in characters per second when it could be measured.
  std::optional<std::int64_t> FinishFile();

  // The message is out: the file shows complete, `size_text` bytes of it.
  void ShowMessageDone(const std::string& size_text);

  // Bytes of the run sent so far; text conversions count theirs in it too.
  [[nodiscard]] std::int64_t& sent_total() { return sent_total_; }
  // Files whose speed was measured, and their average speed.
  [[nodiscard]] std::int64_t speed_count() const { return speed_count_; }
  [[nodiscard]] std::int64_t average_speed() const {
    return speed_count_ == 0 ? 0 : speed_sum_ / speed_count_;
  }
  // Empties the run's speed and time fields at its end.
  void EndRun();

 private:
  void Show(core::Field field, const std::string& text) { front_end_.SetField(field, text); }

  core::FrontEnd& front_end_;
  std::int64_t sent_total_ = 0;
  std::int64_t speed_sum_ = 0;
  std::int64_t speed_count_ = 0;
  // The current attachment:
  core::Stopwatch stopwatch_;
  std::int32_t last_shown_ = -1;
  std::int64_t file_bytes_ = 0;
  std::int64_t size_ = 0;
  std::int64_t run_total_ = 0;
};

}  // namespace kestrel::send
