// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/scan_context.h"

#include <algorithm>
#include <utility>

#include "core/base64.h"
#include "core/text_utils.h"
#include "outbound/small_bundle.h"
#include "platform/file_names.h"
#include "platform/files.h"

namespace kestrel::outbound {

namespace {

bool HasControlCharacters(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

}  // namespace

void ScanContext::Log(std::string_view text) {
  logger_.LogLine(core::Side::Sending, text);
}

void ScanContext::Detail(std::string_view text) {
  if (details_) Log(text);
}

void ScanContext::Warn(std::string_view text) {
  logger_.LogLineKept(core::Side::Sending, text, details_);
}

bool ScanContext::Add(SendEntry entry, std::uint64_t size, bool count_once) {
  if (list_.Full()) return false;
  const bool counted = !count_once || !list_.HasEarlierPath(entry.Path, 0);
  const std::uint64_t limit = configuration_.MAXMESSAGESIZE;
  if (!configuration_.SPLITLARGE && limit > 0 && !list_.HasEarlierPath(entry.Path, 0) &&
      core::Base64TextBytes(size) > limit) {
    Warn("--   Too large to send (SPLITLARGE 0): " + core::Printable(entry.Path) + ", over " +
         std::to_string(core::Base64TextBytes(size)) + " bytes as a message, limit " +
         std::to_string(limit));
  }
  // The send job holds a small bundle of today back (MINIMUMMAIL); the
  // report says so once per file.
  if (!list_.HasEarlierPath(entry.Path, 0) && SmallBundleName(entry, configuration_.MINIMUMMAIL)) {
    Detail("--   Too small to send today (MINIMUMMAIL " +
           std::to_string(configuration_.MINIMUMMAIL) + "): " + core::Printable(entry.Path));
  }
  if (!list_.Add(std::move(entry))) return false;
  const auto bytes = static_cast<std::int64_t>(std::min<std::uint64_t>(size, kMaxTotalBytes));
  gross_bytes_ = std::min(gross_bytes_ + bytes, kMaxTotalBytes);
  if (counted) total_bytes_ = std::min(total_bytes_ + bytes, kMaxTotalBytes);
  list_.TotalBytes = total_bytes_;
  return true;
}

std::string RedirectLine(const config::RedirectEntry& entry) {
  return "-- Redirect " + entry.Address + " -> " + entry.EmailAddress + " (" + entry.Name + ")";
}

std::string AfterSendSuffix(AfterSendAction action) {
  switch (action) {
    case AfterSendAction::Delete:
      return " (Delete after)";
    case AfterSendAction::Truncate:
      return " (Zero/truncate after)";
    case AfterSendAction::Nothing:
      break;
  }
  return {};
}

FileMatches FindRegularFiles(std::string_view name) {
  FileMatches matches;
  if (name.empty() || HasControlCharacters(name)) return matches;
  platform::SearchResult found =
      HasWildcards(name) ? platform::FindFiles(name) : platform::FindNamedFile(name);
  matches.outcome = found.outcome;
  for (platform::FoundFile& file : found.files) {
    // Pipes and devices are no mail, and opening a pipe would wait for a writer.
    if (file.is_directory || file.hidden || !platform::FileExists(file.path)) continue;
    matches.files.push_back(std::move(file));
  }
  if (matches.outcome == platform::SearchOutcome::Found && matches.files.empty())
    matches.outcome = platform::SearchOutcome::NoMatch;
  return matches;
}

bool HasWildcards(std::string_view name) {
  return name.find_first_of("*?") != name.npos;
}

std::string ShownMissing(std::string_view name) {
  return core::Printable(name.empty() ? name : platform::ResolveName(name));
}

}  // namespace kestrel::outbound
