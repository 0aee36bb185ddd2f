// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/transfer_progress.h"

#include "core/text_utils.h"

namespace kestrel::send {

namespace {

using core::Field;

// Estimates beyond this many seconds are not shown.
constexpr std::int64_t kMaxSecondsLeft = 9999;

}  // namespace

void TransferProgress::StartRun(std::int64_t total_bytes, int files) {
  Show(Field::TotalFileSize, std::to_string(total_bytes));
  Show(Field::TotalFiles, std::to_string(files));
  sent_total_ = 0;
  speed_sum_ = 0;
  speed_count_ = 0;
}

void TransferProgress::ClearFile() {
  for (const Field field : {Field::CurrentPercent, Field::CurrentFilename, Field::CurrentProgress,
                            Field::CurrentFileSize, Field::SecondsLeftofFile, Field::CurrentCPS}) {
    Show(field, "");
  }
}

void TransferProgress::StartFile(const std::string& name, std::int64_t size,
                                 std::int64_t run_total) {
  Show(Field::CurrentFilename, name);
  Show(Field::CurrentFileSize, std::to_string(size));
  stopwatch_.Start();
  last_shown_ = -1;
  file_bytes_ = 0;
  size_ = size;
  run_total_ = run_total;
}

bool TransferProgress::Advance(std::uint64_t data_bytes) {
  file_bytes_ += static_cast<std::int64_t>(data_bytes);
  const std::int32_t elapsed = stopwatch_.ElapsedSeconds();
  if (elapsed == last_shown_) return false;
  last_shown_ = elapsed;
  Show(Field::TotalProgress, std::to_string(sent_total_ + file_bytes_));
  Show(Field::CurrentProgress, std::to_string(file_bytes_));
  if (size_ > 0) Show(Field::CurrentPercent, core::PercentText(file_bytes_, size_));
  if (run_total_ > 0)
    Show(Field::TotalPercent, core::PercentText(sent_total_ + file_bytes_, run_total_));
  if (elapsed <= 0) return true;
  const std::int64_t speed = file_bytes_ / elapsed;
  if (speed <= 0) return true;
  const std::int64_t left = size_ / speed - elapsed;
  if (left < 0 || left >= kMaxSecondsLeft) return true;
  Show(Field::SecondsLeftofFile, std::to_string(left));
  Show(Field::CurrentCPS, std::to_string(speed));
  Show(Field::TotalCPS,
       std::to_string(speed_count_ == 0 ? speed : (speed_sum_ / speed_count_ + speed) / 2));
  return true;
}

std::optional<std::int64_t> TransferProgress::FinishFile() {
  sent_total_ += file_bytes_;
  std::optional<std::int64_t> measured;
  const std::int32_t elapsed = stopwatch_.ElapsedSeconds();
  if (elapsed > 0) {
    const std::int64_t speed = file_bytes_ / elapsed;
    if (speed > 0) {
      measured = speed;
      speed_sum_ += speed;
      ++speed_count_;
    }
  }
  Show(Field::TotalProgress, std::to_string(sent_total_));
  if (run_total_ > 0) Show(Field::TotalPercent, core::PercentText(sent_total_, run_total_));
  return measured;
}

void TransferProgress::ShowMessageDone(const std::string& size_text) {
  Show(Field::CurrentPercent, "100%");
  Show(Field::CurrentProgress, size_text);
  Show(Field::SecondsLeftofFile, "");
}

void TransferProgress::EndRun() {
  Show(Field::TotalCPS, "");
  Show(Field::TotalSecondsLeft, "");
}

}  // namespace kestrel::send
