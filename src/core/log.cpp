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

Logger::Logger(FrontEnd& front_end, std::string home, LogFiles files)
    : front_end_(front_end), home_(std::move(home)), files_(files) {}

Logger::~Logger() {
  for (SideLog* log : {&send_, &receive_}) {
    if (log->file) std::fclose(log->file);
  }
}

std::string Logger::LogPath(Side side) const {
  return home_ + (side == Side::Sending ? "/SEND.LOG" : "/RECEIVE.LOG");
}

void Logger::LogLine(Side side, std::string_view text, LineKind kind) {
  LogLine(side, text, kind, true);
}

void Logger::WriteToFile(Side side, SideLog& log, const std::string& line, bool bounded) {
  const std::uint32_t limit = size_limit_;
  if (bounded && limit != 0 && log.bytes + line.size() > limit) {
    // Started anew as the next job would start it, without waiting for it.
    std::fclose(log.file);
    const std::string path = LogPath(side);
    (void)platform::DeleteFile(path);
    log.file = platform::OpenFile(path, "ab").release();
    log.bytes = 0;
    if (!log.file) {
      log.open = false;
      return;
    }
    WriteToFile(side, log,
                (line_times_ ? LineTime() : std::string()) +
                    "-- Logfile begun anew at its size limit " + DateText() + " " + TimeText() +
                    "\r\n",
                false);
  }
  std::fwrite(line.data(), 1, line.size(), log.file);
  std::fflush(log.file);
  log.bytes += line.size();
}

void Logger::LogLine(Side side, std::string_view text, LineKind kind, bool bounded) {
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
    WriteToFile(side, log, line, bounded);
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
    WriteToFile(side, log, line, true);
    return;
  }
  if (files_ == LogFiles::None) return;
  const std::string path = LogPath(side);
  const std::uint32_t limit = size_limit_;
  if (const auto size = platform::FileSize(path); limit != 0 && size && *size + line.size() > limit)
    (void)platform::DeleteFile(path);
  const platform::UniqueFile file = platform::OpenFile(path, "ab");
  if (file) std::fwrite(line.data(), 1, line.size(), file.get());
}

void Logger::OpenLog(Side side) {
  if (files_ == LogFiles::None) return;
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
    log.bytes = platform::FileSize(path).value_or(0);
    log.open = true;
  }
  LogLine(side, "-- Logfile opened " + DateText() + " " + TimeText(), LineKind::Normal, false);
}

void Logger::CloseLog(Side side) {
  if (!Of(side).open) return;
  LogLine(side, "-- Logfile closed " + DateText() + " " + TimeText(), LineKind::Normal, false);
  LogLine(side, "", LineKind::Normal, false);
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
