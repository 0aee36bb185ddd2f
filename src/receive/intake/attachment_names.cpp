// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/intake/attachment_names.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "mime/ascii_text.h"
#include "platform/directory_owner.h"
#include "platform/directory_view.h"
#include "platform/file_names.h"
#include "platform/file_search.h"

namespace kestrel::receive {
namespace {

// An extension longer than this is no extension worth keeping when a name
// must be cut.
constexpr std::size_t kMaxExtensionBytes = 16;
// Packet and bundle names: eight hexadecimal digits before the extension.
constexpr std::size_t kHexBaseDigits = 8;

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool HasAny(std::string_view text, char from, char to) {
  for (const char c : text) {
    if (c >= from && c <= to) return true;
  }
  return false;
}

bool EndsWithPartialSuffix(std::string_view name) {
  return name.size() >= kPartialSuffix.size() &&
         mime::UpperCase(name.substr(name.size() - kPartialSuffix.size())) ==
             mime::UpperCase(kPartialSuffix);
}

// Where the extension starts (its "."), or the end; a leading "." starts none.
// The partial suffix is no extension to keep: a variant must lose it.
std::size_t ExtensionAt(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || EndsWithPartialSuffix(name)) return name.size();
  return dot;
}

// The base name `base` counted up by `step`, in eight hexadecimal digits of
// the letter case the name uses.
std::string HexVariant(std::string_view base, std::string_view extension, std::size_t step) {
  const std::uint32_t value =
      static_cast<std::uint32_t>(std::stoul(std::string(base), nullptr, 16) + step);
  const bool lower =
      HasAny(base, 'a', 'f') || (!HasAny(base, 'A', 'F') && HasAny(extension, 'a', 'z'));
  char digits[kHexBaseDigits + 1];
  std::snprintf(digits, sizeof digits, lower ? "%08x" : "%08X", value);
  return std::string(digits) + std::string(extension);
}

// Candidate 0 is the name; the others keep its extension and vary its base.
std::string Candidate(std::string_view name, std::size_t index) {
  if (index == 0) return std::string(name);
  const std::size_t dot = ExtensionAt(name);
  const std::string_view base = name.substr(0, dot);
  const std::string_view extension = name.substr(dot);
  const bool hex =
      base.size() == kHexBaseDigits && std::all_of(base.begin(), base.end(), IsHexDigit);
  if (hex) return HexVariant(base, extension, index);
  return std::string(base) + "_" + std::to_string(index) + std::string(extension);
}

// Any directory entry counts, a dangling link included.
bool Taken(std::string_view path) {
  struct stat info {};
  return ::lstat(platform::ResolveName(path).c_str(), &info) == 0;
}

// Names a received file may never get in this inbound, taken or not.
class ReservedNames {
 public:
  explicit ReservedNames(std::string_view inbound) : home_(platform::IsProgramHome(inbound)) {}

  [[nodiscard]] bool Contain(std::string_view name) const {
    return EndsWithPartialSuffix(name) || (home_ && platform::IsProgramFileName(name));
  }

 private:
  bool home_;
};

// The name cut to kMaxNameBytes, its extension kept, never inside a UTF-8 character.
std::string Shortened(std::string name) {
  if (name.size() <= kMaxNameBytes) return name;
  const std::size_t dot = ExtensionAt(name);
  const std::string extension =
      name.size() - dot <= kMaxExtensionBytes ? name.substr(dot) : std::string();
  std::size_t keep = kMaxNameBytes - extension.size();
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  return name.substr(0, keep) + extension;
}

}  // namespace

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
  return Shortened(std::move(safe));
}

std::string GeneratedName(std::string_view stem, std::string_view part,
                          std::string_view media_type) {
  std::string name = std::string(stem) + "-" + std::string(part);
  std::replace(name.begin() + static_cast<std::ptrdiff_t>(stem.size()), name.end(), '.', '-');
  if (media_type.substr(0, 5) == "text/") return name + ".txt";
  if (media_type.substr(0, 8) == "message/") return name + ".eml";
  return name + ".bin";
}

std::optional<std::string> FindFreeName(std::string_view inbound, std::string_view name) {
  if (name.empty()) return std::nullopt;
  const ReservedNames reserved(inbound);
  for (std::size_t i = 0; i < kMaxNameCandidates; ++i) {
    std::string candidate = Candidate(name, i);
    if (!reserved.Contain(candidate) && !Taken(std::string(inbound) + candidate)) return candidate;
  }
  return std::nullopt;
}

platform::UniqueFile CreatePartialFile(std::string_view inbound, std::string_view name) {
  const std::string path = std::string(inbound) + PartialName(name);
  // "x": O_EXCL, which also refuses to follow a link planted under the name.
  platform::UniqueFile file = platform::OpenFile(path, "wbx");
  if (!file && errno == EEXIST && platform::DeleteFile(path))
    file = platform::OpenFile(path, "wbx");
  // A root run leaves files the mailer's user can take.
  if (file) (void)platform::GiveDirectoryOwner(path, inbound);
  return file;
}

std::optional<std::string> PublishPartialFile(std::string_view inbound, std::string_view name,
                                              std::string_view wanted) {
  const std::string partial = platform::ResolveName(std::string(inbound) + PartialName(name));
  const ReservedNames reserved(inbound);
  for (std::size_t i = 0; i < kMaxNameCandidates; ++i) {
    std::string candidate = Candidate(wanted, i);
    const std::string path = std::string(inbound) + candidate;
    if (reserved.Contain(candidate) || Taken(path)) continue;
    // link() never replaces an existing entry; where the file system has no
    // hard links, a rename right after the check is the next best thing.
    const std::string target = platform::ResolveName(path);
    if (::link(partial.c_str(), target.c_str()) == 0) {
      (void)::unlink(partial.c_str());
      platform::NoteName(target);
      return candidate;
    }
    if (errno == EEXIST) continue;
    if (!Taken(path) && ::rename(partial.c_str(), target.c_str()) == 0) {
      platform::NoteName(target);
      return candidate;
    }
    return std::nullopt;
  }
  errno = EEXIST;
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
