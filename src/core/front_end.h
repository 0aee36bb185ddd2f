// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The one interface through which the core shows what it does: progress fields,
// waiting indicators and activity panes. The window and the console implement
// it; every call may come from any thread and returns once the write is done.

#include <string>
#include <string_view>

#include "core/side.h"

namespace kestrel::core {

// The progress fields of the two strips, named after their window components.
enum class Field {
  // incoming strip
  GetCurrentMsg,
  GetTotalMessages,
  GetTotalBytes,
  GetTimeout,
  GetFilename,
  GetByteProgress,
  GetCPS,
  // outgoing strip
  FilesSent,
  TotalFiles,
  TotalPercent,
  TotalProgress,
  TotalFileSize,
  TotalSecondsLeft,
  TotalCPS,
  Timeout,
  CurrentFilename,
  CurrentPercent,
  CurrentProgress,
  CurrentFileSize,
  SecondsLeftofFile,
  CurrentCPS,
};
inline constexpr int kFieldCount = static_cast<int>(Field::CurrentCPS) + 1;

[[nodiscard]] Side SideOfField(Field field);
[[nodiscard]] const char* FieldName(Field field);
// The countdown field of a side: GetTimeout or Timeout.
[[nodiscard]] Field CountdownField(Side side);

// What a line is to its reader: an activity line, a detail that belongs in
// the log file but not on the console (one per message nobody asked for), or
// a problem (an error or a warning, which the console also writes to standard
// error). Callers say which; front ends decide what to do with it.
enum class LineKind { Normal, Detail, Problem };

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;

  virtual void AppendPaneLine(Side side, std::string_view line) = 0;
  // A pane line of a kind; a front end that makes no difference shows them all.
  virtual void AppendLine(Side side, std::string_view line, LineKind /*kind*/) {
    AppendPaneLine(side, line);
  }
  virtual void ClearPane(Side side) = 0;
  virtual void SetField(Field field, std::string_view text) = 0;
  // The "Waiting for network" indicator of a side.
  virtual void SetWaitingIndicator(Side side, bool waiting) = 0;

  // True on the thread that carries out the writes (the user-interface thread).
  [[nodiscard]] virtual bool OnUserInterfaceThread() const = 0;
  // Carries out the writes that workers have handed over and are waiting on;
  // called by the user-interface thread while it waits for a lock a worker holds.
  virtual void ProcessPendingWrites() = 0;
};

// Empties every progress field of a side except its countdown.
void CleanText(FrontEnd& front_end, Side side);

}  // namespace kestrel::core
