// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/busy_flag.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#include "platform/file_names.h"
#include "platform/processes.h"

namespace kestrel::outbound {

namespace {

// A flag holds a process id and a line end; more is no flag of a mailer.
constexpr std::size_t kMaxFlagBytes = 64;
constexpr std::size_t kMaxPidDigits = 10;
constexpr const char* kFlagExtensions[] = {"BSY", "CSY"};
// A flag of a process that does not run here is left over once it has not
// been touched for this long (BSYAGE when lower).
constexpr std::uint32_t kForeignFlagMinutes = 10;

std::optional<long> FlagPid(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (text.empty() || text.size() > kMaxPidDigits) return std::nullopt;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  return std::stol(std::string(text));
}

}  // namespace

std::string BusyFlagName(const std::string& guarded, std::string_view extension) {
  // The real name on disk, so that the flag sits beside it in the same case.
  const std::string real = platform::ResolveName(guarded);
  const std::string name = platform::BaseName(real);
  const std::size_t dot = name.rfind('.');
  const std::string existing = dot == std::string::npos ? std::string() : name.substr(dot + 1);
  const bool lower_case = std::any_of(existing.begin(), existing.end(),
                                      [](unsigned char c) { return std::islower(c); }) &&
                          std::none_of(existing.begin(), existing.end(),
                                       [](unsigned char c) { return std::isupper(c); });
  std::string flag(extension);
  if (lower_case) {
    std::transform(flag.begin(), flag.end(), flag.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  }
  return platform::WithExtension(real, flag);
}

std::vector<std::string> PresentBusyFlags(const std::string& guarded) {
  std::vector<std::string> flags;
  for (const char* extension : kFlagExtensions) {
    const std::string flag = platform::ResolveName(platform::WithExtension(guarded, extension));
    // A link that leads nowhere is a flag too: it keeps the name taken.
    if (platform::StampOf(flag)) flags.push_back(flag);
  }
  return flags;
}

FlagJudgement JudgeBusyFlag(const std::string& flag, std::uint32_t max_age_minutes) {
  FlagJudgement judgement;
  judgement.seen = platform::StampOf(flag);
  if (!judgement.seen) return judgement;  // gone meanwhile: nothing to remove
  if (max_age_minutes > 0) {
    const std::time_t age = std::time(nullptr) - judgement.seen->modified;
    if (age > static_cast<std::time_t>(max_age_minutes) * 60) {
      judgement.stale = true;
      judgement.reason = "older than " + std::to_string(max_age_minutes) + " minutes";
      return judgement;
    }
  }
  // Only a regular file is read: a pipe under the flag's name would wait for a writer.
  const std::optional<std::string> text =
      platform::FileExists(flag) ? platform::ReadFilePrefix(flag, kMaxFlagBytes) : std::nullopt;
  const std::optional<long> pid = text ? FlagPid(*text) : std::nullopt;
  if (!pid || platform::ProcessRunning(*pid)) return judgement;
  // The process may run on another host or in another PID namespace sharing
  // the outbound, and mailers touch their flags while they work: a dead
  // process id alone proves nothing until the flag has also gone untouched.
  const std::uint32_t untouched_minutes =
      max_age_minutes > 0 ? std::min(max_age_minutes, kForeignFlagMinutes) : kForeignFlagMinutes;
  const std::time_t age = std::time(nullptr) - judgement.seen->modified;
  if (age > static_cast<std::time_t>(untouched_minutes) * 60) {
    judgement.stale = true;
    judgement.reason = "process " + std::to_string(*pid) + " not running here, untouched " +
                       std::to_string(untouched_minutes) + " min";
  }
  return judgement;
}

bool RemoveStaleFlag(const std::string& flag, const FlagJudgement& judgement) {
  if (!judgement.stale || !judgement.seen || platform::StampOf(flag) != judgement.seen)
    return false;
  return platform::DeleteFile(flag);
}

std::string OwnFlagContent() {
  return std::to_string(platform::OwnProcessId()) + "\n";
}

}  // namespace kestrel::outbound
