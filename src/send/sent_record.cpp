// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/sent_record.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <optional>
#include <utility>

#include "platform/error_text.h"
#include "platform/files.h"
#include "platform/program_home.h"

namespace kestrel::send {

namespace {

// Larger than any record the bounds allow (20,000 lines of five short fields).
constexpr std::uint64_t kMaxRecordBytes = 64u * 1024 * 1024;
// A field as written, its cut marker included.
constexpr std::size_t kMaxFieldBytes = 255;
constexpr std::string_view kEmpty = "-";
constexpr std::string_view kCut = "%~";
constexpr std::string_view kCutRead = "...";
constexpr std::size_t kFieldsPerLine = 5;
constexpr std::string_view kUntidied = "untidied/";
constexpr std::string_view kTidied = "tidied";

std::string UntidiedKey(std::string_view node, std::string_view path) {
  return std::string(node) + "\n" + std::string(path);
}

// "untidied/SIZE/MTIME" read back; nothing when it is not one.
std::optional<SentRecord::Untidied> ReadUntidied(std::string_view field) {
  if (!field.starts_with(kUntidied)) return std::nullopt;
  field.remove_prefix(kUntidied.size());
  const std::size_t slash = field.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  SentRecord::Untidied untidied;
  const std::string_view size = field.substr(0, slash);
  const std::string_view modified = field.substr(slash + 1);
  if (std::from_chars(size.data(), size.data() + size.size(), untidied.size).ec != std::errc() ||
      std::from_chars(modified.data(), modified.data() + modified.size(), untidied.modified_ns)
              .ec != std::errc()) {
    return std::nullopt;
  }
  return untidied;
}

bool NeedsEscape(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte <= ' ' || byte == 0x7F || c == '%';
}

// A field as it is written: nothing in it can end the field or the line.
std::string Written(std::string_view text) {
  if (text.empty()) return std::string(kEmpty);
  if (text == kEmpty) return "%2D";
  std::string field;
  std::size_t fits = 0;  // what leaves room for the cut marker
  for (const char c : text) {
    if (NeedsEscape(c)) {
      std::array<char, 4> hex{};
      std::snprintf(hex.data(), hex.size(), "%%%02X", static_cast<unsigned char>(c));
      field += hex.data();
    } else {
      field += c;
    }
    if (field.size() <= kMaxFieldBytes - kCut.size()) fits = field.size();
    if (field.size() > kMaxFieldBytes) break;
  }
  if (field.size() <= kMaxFieldBytes) return field;
  field.resize(fits);
  return field + std::string(kCut);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A written field read back; an escape that is none stays as it is.
std::string Read(std::string_view field) {
  if (field == kEmpty) return {};
  const bool cut = field.size() >= kCut.size() && field.substr(field.size() - kCut.size()) == kCut;
  if (cut) field.remove_suffix(kCut.size());
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const int high = field[i] == '%' && i + 2 < field.size() ? HexValue(field[i + 1]) : -1;
    const int low = high >= 0 ? HexValue(field[i + 2]) : -1;
    if (low >= 0) {
      text += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      text += field[i];
    }
  }
  if (cut) text += kCutRead;
  return text;
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

SentRecord::SentRecord() : SentRecord(platform::HomeFile(platform::ProgramBaseName() + ".SNT")) {}

SentRecord::SentRecord(std::string path) : path_(std::move(path)) {}

void SentRecord::Remember(Line line) {
  by_id_[line.written_id] = lines_.size();
  const std::string key = UntidiedKey(line.entry.node, line.entry.path);
  if (line.tidy == kTidied) {
    untidied_.erase(key);
  } else if (std::optional<Untidied> untidied = ReadUntidied(line.tidy)) {
    untidied->seconds = line.entry.seconds;
    untidied->message_id = line.entry.message_id;
    untidied->addresses = line.entry.addresses;
    untidied_[key] = std::move(*untidied);
  }
  lines_.push_back(std::move(line));
}

void SentRecord::Forget() {
  lines_.clear();
  by_id_.clear();
  untidied_.clear();
  rewrite_pending_ = false;
}

std::string SentRecord::Content() const {
  std::string content;
  for (const Line& line : lines_) content += line.text;
  return content;
}

bool SentRecord::Load(std::int64_t now, std::string& error_r, Rewrite rewrite) {
  Forget();
  std::string content;
  const platform::ReadOutcome outcome =
      platform::ReadBoundedFile(path_, 0, kMaxRecordBytes, content);
  if (outcome == platform::ReadOutcome::CannotOpen && errno == ENOENT) return true;
  if (outcome != platform::ReadOutcome::Ok) {
    error_r = outcome == platform::ReadOutcome::TooLarge ? "too large" : platform::ErrorText(errno);
    return false;
  }
  std::vector<Line> read;
  std::size_t at = 0;
  while (at < content.size()) {
    const std::size_t end = content.find('\n', at);
    if (end == std::string::npos) {
      rewrite_pending_ = true;  // torn by a crash: an entry never made
      break;
    }
    const std::string_view text(content.data() + at, end - at + 1);
    at = end + 1;
    const std::vector<std::string_view> words = Words(text.substr(0, text.size() - 1));
    Line line;
    if (words.size() == kFieldsPerLine + 1) line.tidy = words[kFieldsPerLine];
    if ((words.size() != kFieldsPerLine && line.tidy.empty()) ||
        std::from_chars(words[0].data(), words[0].data() + words[0].size(), line.entry.seconds)
                .ec != std::errc()) {
      continue;  // not an entry: it goes with the next rewrite
    }
    line.text = text;
    line.written_id = words[1];
    line.entry.message_id = Read(words[1]);
    line.entry.node = Read(words[2]);
    line.entry.addresses = Read(words[3]);
    line.entry.path = Read(words[4]);
    read.push_back(std::move(line));
  }
  // Past its bounds: the oldest entries go.
  std::size_t first_kept = 0;
  const auto left = [&] { return read.size() - first_kept; };
  while (left() > kSentMaxEntries ||
         (left() > kSentKeptEntries && now - read[first_kept].entry.seconds > kSentKeptSeconds)) {
    ++first_kept;
  }
  if (first_kept > 0) rewrite_pending_ = true;
  const bool pending = rewrite_pending_;
  for (std::size_t i = first_kept; i < read.size(); ++i) Remember(std::move(read[i]));
  // Left pending when it fails or waits: Record tries again and reports it.
  rewrite_pending_ = pending && (rewrite == Rewrite::BeforeNextEntry ||
                                 !platform::ReplaceFileContent(path_, Content()));
  return true;
}

bool SentRecord::Has(std::string_view message_id) const {
  return Find(message_id) != nullptr;
}

const SentRecord::Entry* SentRecord::Find(std::string_view message_id) const {
  if (message_id.empty()) return nullptr;
  const auto found = by_id_.find(Written(message_id));
  return found == by_id_.end() ? nullptr : &lines_[found->second].entry;
}

bool SentRecord::Record(const Entry& entry, std::int64_t now, std::string& error_r) {
  return Append(entry, {}, now, error_r);
}

bool SentRecord::RecordForSync(const Entry& entry, std::int64_t now, std::string& error_r) {
  return Append(entry, {}, now, error_r, /*sync_now=*/false);
}

bool SentRecord::SyncRecorded(std::string& error_r) {
  if (!sync_pending_) return true;
  sync_pending_ = false;
  if (platform::SyncFileData(path_)) return true;
  error_r = platform::ErrorText(errno);
  return false;
}

const SentRecord::Untidied* SentRecord::FindUntidied(std::string_view node,
                                                     std::string_view path) const {
  if (untidied_.empty()) return nullptr;
  // Compared as written and read back, as the entries were made.
  const auto found = untidied_.find(UntidiedKey(Read(Written(node)), Read(Written(path))));
  return found == untidied_.end() ? nullptr : &found->second;
}

bool SentRecord::RecordUntidied(const Entry& entry, std::uint64_t size, std::int64_t modified_ns,
                                std::int64_t now, std::string& error_r) {
  return Append(entry,
                std::string(kUntidied) + std::to_string(size) + "/" + std::to_string(modified_ns),
                now, error_r);
}

bool SentRecord::RecordTidied(std::string_view node, std::string_view path, std::int64_t now,
                              std::string& error_r) {
  const Untidied* untidied = FindUntidied(node, path);
  if (!untidied) return true;
  return Append(
      {0, untidied->message_id, std::string(node), untidied->addresses, std::string(path)},
      std::string(kTidied), now, error_r);
}

bool SentRecord::Append(const Entry& entry, const std::string& tidy, std::int64_t now,
                        std::string& error_r, bool sync_now) {
  const std::array<std::string, kFieldsPerLine - 1> fields = {
      Written(entry.message_id), Written(entry.node), Written(entry.addresses),
      Written(entry.path)};
  Line line;
  line.written_id = fields[0];
  line.tidy = tidy;
  line.text = std::to_string(now);
  for (const std::string& field : fields) line.text += " " + field;
  if (!tidy.empty()) line.text += " " + tidy;
  line.text += "\n";
  // As it reads back from the file.
  line.entry = {now, Read(fields[0]), Read(fields[1]), Read(fields[2]), Read(fields[3])};
  const std::string text = line.text;
  // Kept even when the write fails: it was confirmed, and a later rewrite
  // puts it in.
  Remember(std::move(line));
  const bool appended = !rewrite_pending_;
  const bool written = !appended  ? platform::ReplaceFileContent(path_, Content())
                       : sync_now ? platform::AppendDurably(path_, text)
                                  : platform::AppendStartingWriteback(path_, text);
  if (!written) {
    error_r = platform::ErrorText(errno);
    rewrite_pending_ = true;  // the end of the file may be torn
    sync_pending_ = false;    // the rewrite syncs it all
    return false;
  }
  rewrite_pending_ = false;
  // A sync of the file covers whatever was appended before.
  sync_pending_ = appended && !sync_now;
  return true;
}

}  // namespace kestrel::send
