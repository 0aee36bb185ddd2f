// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The two log sides: every line reaches its side's pane and, while the side's
// log file is open, "SEND.LOG" or "RECEIVE.LOG" in the program's home.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "core/front_end.h"
#include "core/side.h"

namespace kestrel::core {

inline constexpr std::size_t kMaxLogLine = 132;

// Whether the log files are written at all: a command that must change no
// file (the status) keeps its lines to the front end.
enum class LogFiles { Written, None };

class Logger {
 public:
  // home: the directory that holds the log files.
  Logger(FrontEnd& front_end, std::string home, LogFiles files = LogFiles::Written);
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Appends one line (cut to 132 characters) to the side's pane and open log.
  void LogLine(Side side, std::string_view text, LineKind kind = LineKind::Normal);
  // A line the side's log file keeps even while no job has it open (warnings
  // of the scans and of the configuration read): the file is then opened for
  // this line alone. With to_pane false the pane does not show it.
  void LogLineKept(Side side, std::string_view text, bool to_pane = true,
                   LineKind kind = LineKind::Normal);
  // Opens the side's log for appending, deleting it first when it is larger
  // than the size limit; writes the opening line. Does nothing when the
  // log files are not written. While it is open, a line
  // that would take it past the limit starts it anew.
  void OpenLog(Side side);
  // Writes the closing lines and closes the side's log, if open.
  void CloseLog(Side side);
  [[nodiscard]] bool IsOpen(Side side) const;
  // Size limit in bytes; 0 means none.
  void SetSizeLimit(std::uint32_t bytes) { size_limit_ = bytes; }
  // When on, each line written to a log file starts with its time
  // ("19:05:42 "); panes are not changed.
  void SetLineTimes(bool on) { line_times_ = on; }

  [[nodiscard]] FrontEnd& front_end() { return front_end_; }
  [[nodiscard]] std::string LogPath(Side side) const;

 private:
  struct SideLog {
    std::FILE* file = nullptr;
    std::atomic<bool> open{false};
    std::uint64_t bytes = 0;  // in the file, counted as written
  };
  // Appends a line (with its line end) to the open file; `bounded`: within
  // the size limit. The section's own opening and closing lines are not,
  // so that a log at the limit is appended to.
  void WriteToFile(Side side, SideLog& log, const std::string& line, bool bounded);
  void LogLine(Side side, std::string_view text, LineKind kind, bool bounded);
  SideLog& Of(Side side) { return side == Side::Sending ? send_ : receive_; }
  const SideLog& Of(Side side) const { return side == Side::Sending ? send_ : receive_; }

  FrontEnd& front_end_;
  std::string home_;
  const LogFiles files_;
  std::atomic<std::uint32_t> size_limit_{0};
  std::atomic<bool> line_times_{false};
  std::timed_mutex lock_;  // taken through LockServingWrites
  SideLog send_;
  SideLog receive_;
};

}  // namespace kestrel::core
