// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/scan_context.h"

#include <algorithm>
#include <ctime>
#include <utility>

#include "mime/ascii_text.h"
#include "mime/base64.h"
#include "outbound/small_bundle.h"
#include "platform/file_names.h"
#include "platform/files.h"

namespace kestrel::outbound {

namespace {

bool HasControlCharacters(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// "on 2026-12-08 01:02:03", local time.
std::string StampText(std::int64_t seconds) {
  const auto when = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&when, &local);
  char text[32] = {};
  std::strftime(text, sizeof text, "on %Y-%m-%d %H:%M:%S", &local);
  return text;
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

void ScanContext::Problem(std::string_view text) {
  logger_.LogLineKept(core::Side::Sending, text, true, core::LineKind::Problem);
  list_.Problems = true;
}

bool ScanContext::Add(SendEntry entry, std::uint64_t size, bool count_once) {
  if (list_.Full()) {
    ++left_out_;
    left_out_bytes_ = std::min(
        left_out_bytes_ + static_cast<std::int64_t>(std::min<std::uint64_t>(size, kMaxTotalBytes)),
        kMaxTotalBytes);
    return false;
  }
  if (untidied_ && entry.RedirectIndex >= 1 &&
      entry.RedirectIndex <= configuration_.Redirects.RedirectCount()) {
    const std::string& node = configuration_.Redirects.Entry(entry.RedirectIndex).Address;
    if (const std::optional<std::int64_t> confirmed = untidied_->ConfirmedAt(node, entry.Path)) {
      Warn("--   " + mime::Printable(entry.Path) + " went to " + node + " " +
           StampText(*confirmed) + ", not tidied: not sent again");
      entry.Untidied = true;
      const int index = list_.Count() + 1;
      if (!list_.Add(std::move(entry))) return false;
      list_.Entry(index).State = SendState::Skipped;
      ++untidied_count_;
      return false;
    }
  }
  const bool counted = !count_once || !list_.HasEarlierPath(entry.Path, 0);
  const std::uint64_t limit = configuration_.MAXMESSAGESIZE;
  if (!configuration_.SPLITLARGE && limit > 0 && !list_.HasEarlierPath(entry.Path, 0) &&
      mime::Base64TextBytes(size) > limit) {
    Warn("--   Too large to send (SPLITLARGE 0): " + mime::Printable(entry.Path) + ", over " +
         std::to_string(mime::Base64TextBytes(size)) + " bytes as a message, limit " +
         std::to_string(limit));
  }
  // The send job holds a small bundle of today back (MINIMUMMAIL); the
  // report says so once per file.
  if (!list_.HasEarlierPath(entry.Path, 0) && SmallBundleName(entry, configuration_.MINIMUMMAIL)) {
    Detail("--   Too small to send today (MINIMUMMAIL " +
           std::to_string(configuration_.MINIMUMMAIL) + "): " + mime::Printable(entry.Path));
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
  return mime::Printable(name.empty() ? name : platform::ResolveName(name));
}

}  // namespace kestrel::outbound
