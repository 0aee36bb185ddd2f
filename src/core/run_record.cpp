// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/run_record.h"

#include <ctime>
#include <mutex>
#include <utility>

#include "core/link_events.h"
#include "platform/files.h"
#include "platform/program_home.h"

namespace kestrel::core {
namespace {

// Three lines of a few words; anything longer is no record of ours.
constexpr std::size_t kMaxRunRecordBytes = 256;

constexpr std::string_view kLeftWord = "left";

// The send and get jobs of one run may end at once.
std::mutex record_lock;

std::string_view SideWord(Side side) {
  return side == Side::Sending ? "send" : "receive";
}

// The words after `word` on the line it starts.
std::optional<std::string> LineOf(const std::string& content, std::string_view word) {
  const std::string start = std::string(word) + " ";
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

// The two numbers after `word` on its line.
std::optional<std::pair<std::int64_t, std::int64_t>> NumbersOf(const std::string& path,
                                                               std::string_view word) {
  const std::optional<std::string> content = platform::ReadFilePrefix(path, kMaxRunRecordBytes);
  const std::optional<std::string> line = content ? LineOf(*content, word) : std::nullopt;
  if (!line) return std::nullopt;
  const std::size_t blank = line->find(' ');
  if (blank == std::string::npos) return std::nullopt;
  const std::optional<std::int64_t> first = WholeNumberOf(std::string_view(*line).substr(0, blank));
  const std::optional<std::int64_t> second =
      WholeNumberOf(std::string_view(*line).substr(blank + 1));
  if (!first || !second) return std::nullopt;
  return std::pair{*first, *second};
}

}  // namespace

std::string RunRecordPath() {
  return platform::HomeFile(platform::ProgramBaseName() + ".RUN");
}

bool RecordRunEnd(const std::string& path, Side side, int exit_status,
                  std::optional<std::uint64_t> left_by_filters) {
  const std::lock_guard guard(record_lock);
  const std::optional<std::string> old = platform::ReadFilePrefix(path, kMaxRunRecordBytes);
  const std::string_view other = SideWord(side == Side::Sending ? Side::Receiving : Side::Sending);
  const std::string now = std::to_string(static_cast<std::int64_t>(std::time(nullptr)));
  std::string content =
      std::string(SideWord(side)) + " " + now + " " + std::to_string(exit_status) + "\n";
  if (const auto kept = old ? LineOf(*old, other) : std::nullopt)
    content += std::string(other) + " " + *kept + "\n";
  if (left_by_filters) {
    content += std::string(kLeftWord) + " " + now + " " + std::to_string(*left_by_filters) + "\n";
  } else if (const auto kept = old ? LineOf(*old, kLeftWord) : std::nullopt) {
    content += std::string(kLeftWord) + " " + *kept + "\n";
  }
  platform::RemoveUnfinishedReplacements(path);
  return platform::ReplaceFileContent(path, content);
}

std::optional<RunEnd> ReadRunEnd(const std::string& path, Side side) {
  const auto numbers = NumbersOf(path, SideWord(side));
  if (!numbers) return std::nullopt;
  return RunEnd{numbers->first, static_cast<int>(numbers->second)};
}

std::optional<LeftOnServer> ReadLeftByFilters(const std::string& path) {
  const auto numbers = NumbersOf(path, kLeftWord);
  if (!numbers || numbers->second < 0) return std::nullopt;
  return LeftOnServer{numbers->first, static_cast<std::uint64_t>(numbers->second)};
}

}  // namespace kestrel::core
