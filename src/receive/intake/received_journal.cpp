// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/intake/received_journal.h"

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "net/sha256.h"
#include "platform/error_text.h"
#include "platform/files.h"
#include "platform/program_home.h"

namespace kestrel::receive {

namespace {

constexpr std::string_view kNone = "-";
constexpr std::size_t kFingerprintDigits = 32;

// Entries past the cap that a run may append before the journal is shortened
// at once: a rewrite every thousand messages, not one for each.
constexpr std::size_t kRewriteSlack = 1'000;
// The longest line written: the seconds, then the four fields after blanks.
constexpr std::size_t kMaxLineBytes = 20 + 4 * (1 + kJournalFieldChars) + 1;
// Twice the largest journal this program writes; a larger one was put there
// by someone else and is refused.
constexpr std::uint64_t kMaxJournalBytes = 2 * kMaxLineBytes * (kJournalMaxEntries + kRewriteSlack);

bool IsNone(std::string_view field) {
  return field.empty() || field == kNone;
}

// "<>" is what some senders put for a Message-ID they lack: it tells nothing.
bool IsRealMessageId(std::string_view field) {
  return !IsNone(field) && field != "<>";
}

// A field that stands for text too long or unfit for a line; nothing when
// no fingerprint can be made, so that it never matches.
std::string Fingerprint(std::string_view text) {
  const std::optional<std::string> hex = net::Sha256Hex(text);
  return hex ? "#" + hex->substr(0, kFingerprintDigits) : std::string(kNone);
}

bool FitsALine(std::string_view text) {
  return text.size() <= kJournalFieldChars && std::all_of(text.begin(), text.end(), [](char c) {
           return static_cast<unsigned char>(c) > ' ' && c != 0x7F;
         });
}

// A field as it is kept and compared.
std::string Stored(std::string_view text) {
  if (text.empty()) return std::string(kNone);
  return FitsALine(text) ? std::string(text) : Fingerprint(text);
}

// A field read from a line: an earlier version wrote fields of any length.
// Never longer than the word, so a line can be rewritten where it lies.
std::string Kept(std::string_view word) {
  return word.size() <= kJournalFieldChars ? std::string(word) : Fingerprint(word);
}

}  // namespace

ReceivedJournal::ReceivedJournal()
    : ReceivedJournal(platform::HomeFile(platform::ProgramBaseName() + ".JNL")) {}

ReceivedJournal::ReceivedJournal(std::string path) : path_(std::move(path)) {}

std::string_view ReceivedJournal::FieldOf(const Entry& entry, Field field) const {
  std::size_t at = entry.line_start + entry.fields_offset;
  for (std::size_t before = 0; before < field; ++before) at += entry.lengths[before] + 1;
  return std::string_view(content_).substr(at, entry.lengths[field]);
}

bool ReceivedJournal::Load(std::int64_t now, std::string& error_r) {
  entries_.clear();
  content_.clear();
  append_failed_ = false;
  const platform::ReadOutcome outcome =
      platform::ReadBoundedFile(path_, 0, kMaxJournalBytes, content_);
  if (outcome == platform::ReadOutcome::CannotOpen && errno == ENOENT) return true;
  if (outcome != platform::ReadOutcome::Ok) {
    error_r = outcome == platform::ReadOutcome::TooLarge ? "too large" : platform::ErrorText(errno);
    content_.clear();
    return false;
  }
  const std::size_t size_read = content_.size();
  // A line torn by a crash is an entry never made; cut off, so that the next
  // append starts a line of its own.
  content_.resize(content_.rfind('\n') + 1);
  std::size_t write = 0;
  std::size_t line_number = 0;
  for (std::size_t at = 0; at < content_.size();) {
    const std::size_t end = content_.find('\n', at);
    ++line_number;
    if (!TakeLine(std::string_view(content_).substr(at, end - at), write)) {
      error_r = "line " + std::to_string(line_number) + " is not an entry";
      entries_.clear();
      content_.clear();
      return false;
    }
    at = end + 1;
  }
  content_.resize(write);
  DropBefore(FirstKept(now));
  // Every change above shortens the journal: the same size is the same text.
  if (content_.size() == size_read) return true;
  if (!platform::ReplaceFileContent(path_, content_)) {
    error_r = platform::ErrorText(errno);
    return false;
  }
  return true;
}

// Reads one line and writes it back in its kept form at `write_r`, which lies
// at or before the line's own start.
bool ReceivedJournal::TakeLine(std::string_view line, std::size_t& write_r) {
  std::array<std::string_view, 1 + kFields> words;
  std::size_t count = 0;
  for (std::size_t at = 0; at <= line.size(); ++count) {
    if (count == words.size()) return false;
    const std::size_t end = std::min(line.find(' ', at), line.size());
    words[count] = line.substr(at, end - at);
    at = end + 1;
  }
  Entry entry;
  const std::string_view seconds = words[0];
  const auto [parsed_to, error] =
      std::from_chars(seconds.data(), seconds.data() + seconds.size(), entry.seconds);
  if (count < kFields || error != std::errc() || parsed_to != seconds.data() + seconds.size()) {
    return false;
  }
  std::string text = std::to_string(entry.seconds);
  entry.line_start = write_r;
  entry.fields_offset = static_cast<std::uint8_t>(text.size() + 1);
  for (std::size_t field = 0; field + 1 < count; ++field) {
    const std::string kept = Kept(words[field + 1]);
    entry.lengths[field] = static_cast<std::uint8_t>(kept.size());
    text += ' ';
    text += kept;
  }
  text += '\n';
  std::copy(text.begin(), text.end(), content_.begin() + static_cast<std::ptrdiff_t>(write_r));
  write_r += text.size();
  entries_.push_back(entry);
  return true;
}

std::size_t ReceivedJournal::FirstKept(std::int64_t now) const {
  std::size_t first = 0;
  const auto past_bounds = [&] {
    const std::size_t left = entries_.size() - first;
    return left > kJournalMaxEntries ||
           (left > kJournalKeptEntries && entries_[first].seconds < now - kJournalKeptSeconds);
  };
  while (past_bounds()) ++first;
  return first;
}

void ReceivedJournal::DropBefore(std::size_t first_kept) {
  if (first_kept == 0) return;
  const std::size_t cut =
      first_kept < entries_.size() ? entries_[first_kept].line_start : content_.size();
  content_.erase(0, cut);
  entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(first_kept));
  for (Entry& entry : entries_) entry.line_start -= cut;
}

// An entry with this unique id in this mailbox or this real Message-ID, and
// with this digest when one is asked for; all in their kept form.
bool ReceivedJournal::Knows(std::string_view mailbox, std::string_view uid,
                            std::string_view message_id, std::string_view digest) const {
  const bool by_uid = !IsNone(uid);
  const bool by_message_id = IsRealMessageId(message_id);
  return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& entry) {
    if (!digest.empty() && FieldOf(entry, kDigest) != digest) return false;
    return (by_uid && FieldOf(entry, kUid) == uid && FieldOf(entry, kMailbox) == mailbox) ||
           (by_message_id && FieldOf(entry, kMessageId) == message_id);
  });
}

bool ReceivedJournal::IsSuspect(std::string_view mailbox, std::string_view uid,
                                std::string_view message_id) const {
  return Knows(Stored(mailbox), Stored(uid), Stored(message_id), {});
}

bool ReceivedJournal::IsCopy(std::string_view mailbox, std::string_view uid,
                             std::string_view message_id, std::string_view content_digest) const {
  const std::string digest = Stored(content_digest);
  return !IsNone(digest) && Knows(Stored(mailbox), Stored(uid), Stored(message_id), digest);
}

bool ReceivedJournal::Record(const JournalEntry& values, std::int64_t now, std::string& error_r,
                             bool sync) {
  // A failed append may have left a torn line, which this one would run into.
  if (append_failed_ && !platform::ReplaceFileContent(path_, content_)) {
    error_r = platform::ErrorText(errno);
    return false;
  }
  append_failed_ = false;
  Entry entry;
  entry.seconds = now;
  entry.line_start = content_.size();
  std::string line = std::to_string(now);
  entry.fields_offset = static_cast<std::uint8_t>(line.size() + 1);
  const std::array<std::string_view, kFields> fields{values.mailbox, values.uid, values.message_id,
                                                     values.content_digest};
  for (std::size_t field = 0; field < kFields; ++field) {
    const std::string kept = Stored(fields[field]);
    entry.lengths[field] = static_cast<std::uint8_t>(kept.size());
    line += ' ';
    line += kept;
  }
  line += '\n';
  if (!(sync ? platform::AppendDurably(path_, line) : platform::AppendToFile(path_, line))) {
    append_failed_ = true;
    error_r = platform::ErrorText(errno);
    return false;
  }
  content_ += line;
  entries_.push_back(entry);
  if (entries_.size() > kJournalMaxEntries + kRewriteSlack) {
    DropBefore(FirstKept(now));
    // Not shortened now, the journal is shortened by the next Load.
    (void)platform::ReplaceFileContent(path_, content_);
  }
  return true;
}

bool ReceivedJournal::SyncRecorded(std::string& error_r) {
  if (platform::SyncFileData(path_)) return true;
  error_r = platform::ErrorText(errno);
  return false;
}

}  // namespace kestrel::receive
