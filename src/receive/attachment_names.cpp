// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/attachment_names.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_names.h"
#include "platform/file_search.h"

namespace kestrel::receive {
namespace {

// Every candidate in order: the name, then its 35 variants.
constexpr std::size_t kCandidates = 1 + kRenameSequence.size();

std::string Candidate(std::string_view name, std::size_t index) {
  std::string candidate(name);
  if (index > 0) candidate.back() = kRenameSequence[index - 1];
  return candidate;
}

// Any directory entry counts, a dangling link included.
bool Taken(std::string_view path) {
  struct stat info {};
  return ::lstat(platform::ResolveName(path).c_str(), &info) == 0;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::string ParameterValue(std::string_view text) {
  text = text.substr(0, kMaxParameterValue);
  if (!text.empty() && text.front() == '"') {
    text.remove_prefix(1);
    const auto quote = text.find('"');
    if (quote != std::string_view::npos) text = text.substr(0, quote);
    return std::string(text);
  }
  const auto semicolon = text.find(';');
  if (semicolon != std::string_view::npos) text = text.substr(0, semicolon);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

std::string SafeAttachmentName(std::string_view name) {
  const auto separator = name.find_last_of(":\\/");
  if (separator != std::string_view::npos) name.remove_prefix(separator + 1);
  std::string safe;
  safe.reserve(name.size());
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    safe.push_back(byte < 0x20 || byte == 0x7F ? '_' : c);
  }
  const auto first = safe.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  safe = safe.substr(first, safe.find_last_not_of(' ') - first + 1);
  if (safe == "." || safe == "..") return {};
  return safe;
}

std::optional<std::string> FindFreeName(std::string_view inbound, std::string_view name) {
  if (name.empty()) return std::nullopt;
  for (std::size_t i = 0; i < kCandidates; ++i) {
    std::string candidate = Candidate(name, i);
    if (!Taken(std::string(inbound) + candidate)) return candidate;
  }
  return std::nullopt;
}

platform::UniqueFile CreatePartialFile(std::string_view inbound, std::string_view name) {
  const std::string path = std::string(inbound) + PartialName(name);
  // "x": O_EXCL, which also refuses to follow a link planted under the name.
  platform::UniqueFile file = platform::OpenFile(path, "wbx");
  if (!file && errno == EEXIST && platform::DeleteFile(path))
    file = platform::OpenFile(path, "wbx");
  return file;
}

std::optional<std::string> PublishPartialFile(std::string_view inbound, std::string_view name,
                                              std::string_view wanted) {
  const std::string partial = platform::ResolveName(std::string(inbound) + PartialName(name));
  for (std::size_t i = 0; i < kCandidates; ++i) {
    std::string candidate = Candidate(wanted, i);
    const std::string path = std::string(inbound) + candidate;
    if (Taken(path)) continue;
    // link() never replaces an existing entry; where the file system has no
    // hard links, a rename right after the check is the next best thing.
    const std::string target = platform::ResolveName(path);
    if (::link(partial.c_str(), target.c_str()) == 0) {
      (void)::unlink(partial.c_str());
      return candidate;
    }
    if (errno == EEXIST) continue;
    if (!Taken(path) && ::rename(partial.c_str(), target.c_str()) == 0) return candidate;
    return std::nullopt;
  }
  return std::nullopt;
}

void RemoveStalePartialFiles(std::string_view inbound) {
  const auto found = platform::FindFiles(std::string(inbound) + "*" + std::string(kPartialSuffix));
  for (const auto& file : found.files) {
    if (file.hidden && !file.is_directory) (void)platform::DeleteFile(file.path);
  }
}

std::string PartialName(std::string_view name) {
  return "." + std::string(name) + std::string(kPartialSuffix);
}

}  // namespace kestrel::receive
