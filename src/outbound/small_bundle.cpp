// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/small_bundle.h"

#include <ctime>

#include "mime/ascii_text.h"
#include "platform/clock.h"
#include "platform/file_names.h"
#include "platform/file_search.h"

namespace kestrel::outbound {

namespace {

// ARCmail bundles are named like 0000FFFE.MO0: 12 characters, day at 9.
constexpr std::size_t kBundleNameLength = 12;
constexpr std::size_t kBundleDayPosition = 8;
constexpr std::size_t kMaxBundleName = 80;
constexpr const char* kBundleDays[] = {".MO", ".TU", ".WE", ".TH", ".FR", ".SA", ".SU"};

}  // namespace

std::optional<std::string> SmallBundleName(const SendEntry& entry, std::int32_t minimum_mail) {
  if (minimum_mail <= 0 || entry.Kind != SendKind::ListedFile) return std::nullopt;
  const std::string name = platform::BaseName(entry.Path).substr(0, kMaxBundleName);
  if (name.size() != kBundleNameLength) return std::nullopt;
  const std::string upper = mime::UpperCase(name);
  std::size_t at = std::string::npos;
  for (const char* day : kBundleDays) {
    at = upper.find(day);
    if (at != std::string::npos) break;
  }
  if (at != kBundleDayPosition) return std::nullopt;
  const auto found = platform::FindNamedFile(entry.Path);
  if (found.outcome != platform::SearchOutcome::Found || found.files.empty()) return std::nullopt;
  const auto& file = found.files.front();
  std::tm modified{};
  localtime_r(&file.modified, &modified);
  if (modified.tm_mday != platform::Now().day ||
      file.size >= static_cast<std::uint64_t>(minimum_mail)) {
    return std::nullopt;
  }
  return name;
}

}  // namespace kestrel::outbound
