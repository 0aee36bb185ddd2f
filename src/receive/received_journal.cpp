// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/received_journal.h"

#include <cerrno>
#include <charconv>

#include "platform/error_text.h"
#include "platform/files.h"
#include "platform/program_home.h"

namespace kestrel::receive {

namespace {

// Larger than any journal the bounds allow (10,000 lines of a few hundred bytes).
constexpr std::uint64_t kMaxJournalBytes = 64u * 1024 * 1024;
constexpr std::string_view kNone = "-";

// A field as it is written: blanks and control characters would break the
// line into other fields, so they go.
std::string Field(std::string_view text) {
  std::string field;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) > ' ' && c != 0x7F) field += c;
  }
  return field.empty() ? std::string(kNone) : field;
}

std::string Key(std::string_view mailbox, std::string_view uid) {
  return Field(mailbox) + " " + Field(uid);
}

std::string LineOf(std::int64_t seconds, std::string_view mailbox, std::string_view uid,
                   std::string_view message_id) {
  return std::to_string(seconds) + " " + std::string(mailbox) + " " + std::string(uid) + " " +
         std::string(message_id) + "\n";
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t end = std::min(line.find(' ', at), line.size());
    words.push_back(line.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

}  // namespace

ReceivedJournal::ReceivedJournal()
    : ReceivedJournal(platform::HomeFile(platform::ProgramBaseName() + ".JNL")) {}

ReceivedJournal::ReceivedJournal(std::string path) : path_(std::move(path)) {}

void ReceivedJournal::Remember(const Entry& entry) {
  entries_.push_back(entry);
  if (entry.uid != kNone) uids_.insert(entry.mailbox + " " + entry.uid);
  if (entry.message_id != kNone) message_ids_.insert(entry.message_id);
}

bool ReceivedJournal::Load(std::int64_t now, std::string& error_r) {
  entries_.clear();
  uids_.clear();
  message_ids_.clear();
  std::string content;
  const platform::ReadOutcome outcome =
      platform::ReadBoundedFile(path_, 0, kMaxJournalBytes, content);
  if (outcome == platform::ReadOutcome::CannotOpen && errno == ENOENT) return true;
  if (outcome != platform::ReadOutcome::Ok) {
    error_r = outcome == platform::ReadOutcome::TooLarge ? "too large" : platform::ErrorText(errno);
    return false;
  }
  std::size_t at = 0;
  std::size_t line_number = 0;
  while (at < content.size()) {
    const std::size_t end = content.find('\n', at);
    if (end == std::string::npos) break;  // torn by a crash: an entry never made
    const std::string_view line(content.data() + at, end - at);
    at = end + 1;
    ++line_number;
    const std::vector<std::string_view> words = Words(line);
    Entry entry;
    const bool number =
        words.size() == 4 &&
        std::from_chars(words[0].data(), words[0].data() + words[0].size(), entry.seconds).ec ==
            std::errc();
    if (!number) {
      error_r = "line " + std::to_string(line_number) + " is not an entry";
      return false;
    }
    entry.mailbox = words[1];
    entry.uid = words[2];
    entry.message_id = words[3];
    Remember(entry);
  }
  // Past its bounds: the oldest entries go, the rest is written anew at once.
  std::size_t first_kept = 0;
  while (entries_.size() - first_kept > kJournalKeptEntries &&
         now - entries_[first_kept].seconds > kJournalKeptSeconds) {
    ++first_kept;
  }
  if (first_kept == 0) return true;
  std::string kept;
  std::vector<Entry> entries(entries_.begin() + static_cast<std::ptrdiff_t>(first_kept),
                             entries_.end());
  entries_.clear();
  uids_.clear();
  message_ids_.clear();
  for (const Entry& entry : entries) {
    kept += LineOf(entry.seconds, entry.mailbox, entry.uid, entry.message_id);
    Remember(entry);
  }
  if (!platform::ReplaceFileContent(path_, kept)) {
    error_r = platform::ErrorText(errno);
    return false;
  }
  return true;
}

bool ReceivedJournal::HasUid(std::string_view mailbox, std::string_view uid) const {
  return Field(uid) != kNone && uids_.count(Key(mailbox, uid)) != 0;
}

bool ReceivedJournal::HasMessageId(std::string_view message_id) const {
  return Field(message_id) != kNone && message_ids_.count(Field(message_id)) != 0;
}

bool ReceivedJournal::Record(std::string_view mailbox, std::string_view uid,
                             std::string_view message_id, std::int64_t now, std::string& error_r) {
  const Entry entry{now, Field(mailbox), Field(uid), Field(message_id)};
  if (!platform::AppendDurably(path_,
                               LineOf(entry.seconds, entry.mailbox, entry.uid, entry.message_id))) {
    error_r = platform::ErrorText(errno);
    return false;
  }
  Remember(entry);
  return true;
}

}  // namespace kestrel::receive
