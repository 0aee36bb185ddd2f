// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/log.h"

#include "core/serving_lock.h"
#include "core/text_utils.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace kestrel::core {

namespace {

constexpr std::string_view kPasswordCommand = "-> PASS";
constexpr std::string_view kPasswordMask = " [PASSWORD]";

// "19:05:42 ": the time a file line was written.
std::string LineTime() {
  const platform::LocalTime now = platform::Now();
  return ZeroPadNumber(now.hour, 2) + ":" + ZeroPadNumber(now.minute, 2) + ":" +
         ZeroPadNumber(now.second, 2) + " ";
}

}  // namespace

Logger::Logger(FrontEnd& front_end, std::string home)
    : front_end_(front_end), home_(std::move(home)) {}

Logger::~Logger() {
  for (SideLog* log : {&send_, &receive_}) {
    if (log->file) std::fclose(log->file);
  }
}

std::string Logger::LogPath(Side side) const {
  return home_ + (side == Side::Sending ? "/SEND.LOG" : "/RECEIVE.LOG");
}

void Logger::LogLine(Side side, std::string_view text, LineKind kind) {
  std::string line(text.substr(0, kMaxLogLine));
  if (side == Side::Receiving && line.compare(0, kPasswordCommand.size(), kPasswordCommand) == 0)
    line = std::string(kPasswordCommand) + std::string(kPasswordMask);

  const auto guard = LockServingWrites(lock_, front_end_);
  front_end_.AppendLine(side, line, kind);
  SideLog& log = Of(side);
  if (log.open && log.file) {
    // The empty line that ends a section stays empty.
    if (line_times_ && !line.empty()) line.insert(0, LineTime());
    line += "\r\n";
    std::fwrite(line.data(), 1, line.size(), log.file);
    std::fflush(log.file);
  }
}

void Logger::LogLineKept(Side side, std::string_view text, bool to_pane, LineKind kind) {
  if (to_pane && IsOpen(side)) {
    LogLine(side, text, kind);
    return;
  }
  std::string line(text.substr(0, kMaxLogLine));
  const auto guard = LockServingWrites(lock_, front_end_);
  if (to_pane) front_end_.AppendLine(side, line, kind);
  if (line_times_ && !line.empty()) line.insert(0, LineTime());
  line += "\r\n";
  SideLog& log = Of(side);
  if (log.open && log.file) {
    std::fwrite(line.data(), 1, line.size(), log.file);
    std::fflush(log.file);
    return;
  }
  const platform::UniqueFile file = platform::OpenFile(LogPath(side), "ab");
  if (file) std::fwrite(line.data(), 1, line.size(), file.get());
}

void Logger::OpenLog(Side side) {
  {
    const auto guard = LockServingWrites(lock_, front_end_);
    SideLog& log = Of(side);
    if (log.open) return;
    const std::string path = LogPath(side);
    const std::uint32_t limit = size_limit_;
    if (limit != 0) {
      if (const auto size = platform::FileSize(path); size && *size > limit)
        (void)platform::DeleteFile(path);
    }
    if (log.file) std::fclose(log.file);
    log.file = platform::OpenFile(path, "ab").release();
    if (!log.file) return;
    log.open = true;
  }
  LogLine(side, "-- Logfile opened " + DateText() + " " + TimeText());
}

void Logger::CloseLog(Side side) {
  if (!Of(side).open) return;
  LogLine(side, "-- Logfile closed " + DateText() + " " + TimeText());
  LogLine(side, "");
  const auto guard = LockServingWrites(lock_, front_end_);
  SideLog& log = Of(side);
  if (log.file) std::fclose(log.file);
  log.file = nullptr;
  log.open = false;
}

bool Logger::IsOpen(Side side) const {
  return Of(side).open;
}

}  // namespace kestrel::core
