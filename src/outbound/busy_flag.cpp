// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/busy_flag.h"

#include <sys/stat.h>

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
// Each flag's extension in upper and lower case.
constexpr const char* kFlagExtensions[][2] = {{"BSY", "bsy"}, {"CSY", "csy"}};
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
  const std::size_t cut = guarded.find_last_of("/\\");
  const std::string directory = cut == std::string::npos ? std::string()
                                : cut == 0               ? std::string("/")
                                           : platform::ResolveName(guarded.substr(0, cut)) + "/";
  const std::string name = guarded.substr(cut == std::string::npos ? 0 : cut + 1);
  // A link that leads nowhere is a flag too: it keeps the name taken.
  const auto exists = [](const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
  };
  for (const auto& extension : kFlagExtensions) {
    // Mailers write their flags in one letter case: a flag made since the
    // directory view was read is seen as written, in either case; other
    // cases are looked up.
    std::string flag;
    for (const char* variant : extension) {
      const std::string path = directory + platform::WithExtension(name, variant);
      if (!directory.empty() && exists(path)) {
        flag = path;
        break;
      }
    }
    if (flag.empty()) {
      const std::string found =
          platform::ResolveName(platform::WithExtension(guarded, extension[0]));
      if (exists(found)) flag = found;
    }
    if (!flag.empty()) flags.push_back(flag);
  }
  return flags;
}

std::string HolderText(const FlagJudgement& judgement) {
  std::string text = !judgement.pid ? std::string("no process id")
                     : judgement.running
                         ? "process " + std::to_string(*judgement.pid)
                         : "process " + std::to_string(*judgement.pid) + " not running here";
  if (judgement.seen) {
    std::tm local{};
    const std::time_t modified = judgement.seen->modified;
    localtime_r(&modified, &local);
    char since[32] = {};
    std::strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S", &local);
    text += std::string(", since ") + since;
  }
  return text;
}

bool HeldLong(const FlagJudgement& judgement) {
  return judgement.seen && std::time(nullptr) - judgement.seen->modified > kLongHoldSeconds;
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
  judgement.pid = pid;
  judgement.running = pid && platform::ProcessRunning(*pid);
  if (!pid || judgement.running) return judgement;
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
