// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The front end of a run without a window: every pane line is printed whole on
// its own line of standard output, marked with its side; the progress fields
// show as one status line, redrawn in place, only when the output is a
// terminal. Writes are carried out at once on the calling thread.
//
// Details (LineKind::Detail) stay in the log files. Problems are also written
// to standard error, each after the latest lines of its side since its pane
// was last cleared (or since the problem before): the line that says why a
// job failed is most often an ordinary one ("-- Login refused: ..."), so
// standard error gets the whole story of a failed run and nothing of a good
// one, quiet or not. A quiet console prints nothing else.

#include <array>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

#include "core/front_end.h"

namespace kestrel::console {

// The marks that begin each printed pane line.
inline constexpr const char* kSendingMark = "[out] ";
inline constexpr const char* kReceivingMark = "[in]  ";

class ConsoleFrontEnd : public core::FrontEnd {
 public:
  // `terminal`: whether `out` is a terminal (the status line is shown);
  // `problems`: where problems go as well (standard error), or nothing when
  // that is `out` itself, so that no line shows twice.
  ConsoleFrontEnd(std::FILE* out, bool terminal, std::FILE* problems = stderr, bool quiet = false);
  ~ConsoleFrontEnd() override;

  void AppendPaneLine(core::Side side, std::string_view line) override;
  void AppendLine(core::Side side, std::string_view line, core::LineKind kind) override;
  // Forgets the lines a quiet console keeps for the side.
  void ClearPane(core::Side side) override;
  void SetField(core::Field field, std::string_view text) override;
  void SetWaitingIndicator(core::Side side, bool waiting) override;
  // Writes never wait for another thread, so no thread is special.
  [[nodiscard]] bool OnUserInterfaceThread() const override { return false; }
  void ProcessPendingWrites() override {}

  // The status line as it would be drawn (for tests).
  [[nodiscard]] std::string StatusLine() const;

 private:
  void PrintLocked(std::FILE* to, const std::string& text);
  void ClearStatusLocked();
  void DrawStatusLocked(bool force);
  [[nodiscard]] std::string StatusLineLocked() const;

  std::FILE* out_;
  bool terminal_;
  std::FILE* problems_;
  bool quiet_;
  // The latest lines of each side, marked, oldest first.
  std::array<std::deque<std::string>, 2> kept_;
  mutable std::mutex mutex_;
  std::array<std::string, core::kFieldCount> fields_;
  bool send_waiting_ = false;
  bool get_waiting_ = false;
  bool status_shown_ = false;
  std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace kestrel::console
