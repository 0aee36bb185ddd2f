// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/run_record.h"

#include <ctime>
#include <mutex>

#include "core/link_events.h"
#include "platform/files.h"
#include "platform/program_home.h"

namespace kestrel::core {
namespace {

// Two lines of a few words; anything longer is no record of ours.
constexpr std::size_t kMaxRunRecordBytes = 256;

// The send and get jobs of one run may end at once.
std::mutex record_lock;

std::string_view SideWord(Side side) {
  return side == Side::Sending ? "send" : "receive";
}

std::optional<std::string> LineOf(const std::string& content, Side side) {
  const std::string start = std::string(SideWord(side)) + " ";
  for (std::size_t at = 0; at < content.size();) {
    const std::size_t end = content.find('\n', at);
    if (end == std::string::npos) break;
    if (content.compare(at, start.size(), start) == 0) {
      return content.substr(at + start.size(), end - at - start.size());
    }
    at = end + 1;
  }
  return std::nullopt;
}

}  // namespace

std::string RunRecordPath() {
  return platform::HomeFile(platform::ProgramBaseName() + ".RUN");
}

bool RecordRunEnd(const std::string& path, Side side, int exit_status) {
  const std::lock_guard guard(record_lock);
  const std::optional<std::string> old = platform::ReadFilePrefix(path, kMaxRunRecordBytes);
  const Side other = side == Side::Sending ? Side::Receiving : Side::Sending;
  const std::optional<std::string> kept = old ? LineOf(*old, other) : std::nullopt;
  std::string content = std::string(SideWord(side)) + " " +
                        std::to_string(static_cast<std::int64_t>(std::time(nullptr))) + " " +
                        std::to_string(exit_status) + "\n";
  if (kept) content += std::string(SideWord(other)) + " " + *kept + "\n";
  platform::RemoveUnfinishedReplacements(path);
  return platform::ReplaceFileContent(path, content);
}

std::optional<RunEnd> ReadRunEnd(const std::string& path, Side side) {
  const std::optional<std::string> content = platform::ReadFilePrefix(path, kMaxRunRecordBytes);
  const std::optional<std::string> line = content ? LineOf(*content, side) : std::nullopt;
  if (!line) return std::nullopt;
  const std::size_t blank = line->find(' ');
  if (blank == std::string::npos) return std::nullopt;
  const std::optional<std::int64_t> seconds =
      WholeNumberOf(std::string_view(*line).substr(0, blank));
  const std::optional<std::int64_t> status =
      WholeNumberOf(std::string_view(*line).substr(blank + 1));
  if (!seconds || !status) return std::nullopt;
  return RunEnd{*seconds, static_cast<int>(*status)};
}

}  // namespace kestrel::core
