// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/record_sent.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include "core/le_bytes.h"
#include "core/text_utils.h"
#include "fido/attributes.h"
#include "fido/stored_message.h"
#include "outbound/list_file.h"
#include "outbound/still_listed.h"
#include "platform/error_text.h"
#include "platform/file_names.h"
#include "platform/files.h"

namespace kestrel::outbound {

namespace {

// Stored messages are rewritten whole; the same bound as for sending them.
constexpr std::uint64_t kMaxMessageBytes = 64u * 1024 * 1024;
// The subject written back keeps its zero byte inside the field.
constexpr std::size_t kMaxSubjectWritten = fido::kStoredSubjectSize - 1;

void Log(core::Logger& logger, const std::string& text) {
  logger.LogLine(core::Side::Sending, text);
}

void Problem(core::Logger& logger, const std::string& text) {
  logger.LogLine(core::Side::Sending, text, core::LineKind::Problem);
}

// The result being made, with the failures counted so that each entry's
// bookkeeping learns whether it failed.
struct Tally {
  RecordResult result;
  int failures = 0;
  std::function<void()> before_change;  // cleared once it ran
};

void BeforeChange(Tally& tally) {
  if (!tally.before_change) return;
  const std::function<void()> run = std::move(tally.before_change);
  tally.before_change = nullptr;
  run();
}

// A mailer's file that could not be read or rewritten: the message went, but
// the mailer does not learn it, so the job ends rather than send more mail
// whose bookkeeping fails too.
void Fail(core::Logger& logger, const std::string& text, const std::string& sent, Tally& tally) {
  Problem(logger, text);
  ++tally.failures;
  tally.result.not_tidied = true;
  if (!tally.result.io_error) {
    Log(logger, "-- " + sent + " was sent, not tidied: not mailed again");
    tally.result.failure = text.substr(text.rfind("-- ", 0) == 0 ? 3 : 0);
  }
  tally.result.io_error = true;
}

// Reads a list or message for a rewrite; nothing when it is missing, too large
// or unreadable (the last ends the job).
std::optional<std::string> ReadForRewrite(const std::string& path, std::size_t min_bytes,
                                          std::uint64_t max_bytes, const std::string& sent,
                                          core::Logger& logger, Tally& result) {
  std::string content;
  const platform::ReadOutcome outcome =
      platform::ReadBoundedFile(path, min_bytes, max_bytes, content);
  if (outcome == platform::ReadOutcome::Ok) return content;
  if (outcome == platform::ReadOutcome::TooLarge) Log(logger, "-- Too large to update: " + path);
  if (outcome == platform::ReadOutcome::ReadError)
    Fail(logger, "-- Could not read " + path + ": " + platform::ErrorText(errno), sent, result);
  return std::nullopt;
}

// Writes a list or message back under its owner, group and mode; false (the
// old file left as it was) when that cannot be done.
bool Rewrite(const std::string& path, const std::string& content, const std::string& sent,
             core::Logger& logger, Tally& result) {
  switch (platform::ReplaceKeepingOwner(path, content, [&result] { BeforeChange(result); })) {
    case platform::ReplaceOutcome::Replaced:
      return true;
    case platform::ReplaceOutcome::OwnerNotKept:
      Fail(logger,
           "-- Left " + path + " as it was: its owner could not be kept (" +
               platform::ErrorText(errno) + ")",
           sent, result);
      return false;
    case platform::ReplaceOutcome::Failed:
      break;
  }
  Fail(logger, "-- Could not rewrite " + path + ": " + platform::ErrorText(errno), sent, result);
  return false;
}

// Drops the lines naming the file from its flow file or list, replacing the
// file atomically; an emptied list is deleted (a VFIDO list with its packet).
// Lines marked "~" and every other line stay byte for byte.
void RemoveFromList(SendList& list, const SendEntry& entry,
                    const config::Configuration& configuration, core::Logger& logger,
                    Tally& result) {
  Log(logger, "-- Removing file from flowfile " + entry.ListPath);
  const std::optional<std::string> content =
      ReadForRewrite(entry.ListPath, 0, kMaxListBytes, entry.Path, logger, result);
  if (!content) return;

  const std::size_t max_line = MaxLineOf(entry.ListPath);
  std::string kept;
  kept.reserve(content->size());
  bool dropped = false;
  std::size_t at = 0;
  while (at < content->size()) {
    std::size_t end = content->find('\n', at);
    end = end == std::string::npos ? content->size() : end + 1;
    std::string_view line(content->data() + at, end - at);
    std::string_view text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    if (LineNamesFile(configuration, text, max_line, entry.Path)) {
      dropped = true;
    } else {
      kept.append(line);
    }
    at = end;
  }
  if (dropped && !Rewrite(entry.ListPath, kept, entry.Path, logger, result)) return;
  if (list.Listed) list.Listed->Forget(entry.ListPath, entry.Path);
  if (platform::FileSize(entry.ListPath) == std::optional<std::uint64_t>(0)) {
    BeforeChange(result);
    (void)platform::DeleteFile(entry.ListPath);
    if (MaxLineOf(entry.ListPath) == kMaxVfidoLine) {
      (void)platform::DeleteFile(platform::WithExtension(entry.ListPath, "PKT"));
    }
  }
}

// Reads a stored message whole for a header change and gives its header;
// nothing when it cannot be read or is shorter than its header.
std::optional<fido::StoredMessageHeader> ReadMessage(const std::string& path,
                                                     const std::string& sent, core::Logger& logger,
                                                     Tally& result, std::string& message_r) {
  std::optional<std::string> content =
      ReadForRewrite(path, fido::kStoredMessageHeaderSize, kMaxMessageBytes, sent, logger, result);
  if (!content) return std::nullopt;
  message_r = std::move(*content);
  core::ByteReader reader(message_r);
  return fido::ParseStoredMessageHeader(reader);
}

// Where the subject names the sent file: the word that the scan looked up to
// it. Position and length; npos when no word does.
std::pair<std::size_t, std::size_t> FindNameInSubject(const std::string& subject,
                                                      const std::string& real_path) {
  std::size_t at = 0;
  while (at < subject.size()) {
    const std::size_t end = std::min(subject.find(' ', at), subject.size());
    if (end > at && platform::ResolveName(subject.substr(at, end - at)) == real_path)
      return {at, end - at};
    at = end + 1;
  }
  return {std::string::npos, 0};
}

// Takes the sent file out of the subject of its file-attach message; a
// subject left without files announces the sending instead.
void RemoveFromSubject(const SendEntry& entry, core::Logger& logger, Tally& result) {
  Log(logger, "-- Removing file from MSG-subject " + entry.ListPath);
  std::string message;
  const std::optional<fido::StoredMessageHeader> header =
      ReadMessage(entry.ListPath, entry.Path, logger, result, message);
  if (!header) return;
  std::string subject = header->subject;
  const auto [at, length] = FindNameInSubject(subject, entry.Path);
  if (at != std::string::npos) subject.erase(at, length);
  if (subject.find_first_not_of(' ') == std::string::npos) {
    fido::RewriteStoredAttribute(
        message, static_cast<std::uint16_t>(header->attribute & ~fido::kAttrFileAttached));
    subject = "KESTREL - Files sent " + core::DateText() + " " + core::TimeText();
  }
  subject.resize(std::min(subject.size(), kMaxSubjectWritten));
  // The whole field is rewritten: the subject, its zero byte, zeros after it.
  fido::RewriteStoredSubject(message, subject);
  (void)Rewrite(entry.ListPath, message, entry.Path, logger, result);
}

void SetSentFlag(const std::string& path, core::Logger& logger, Tally& result) {
  Log(logger, "-- Setting sent flag on " + platform::BaseName(path));
  std::string message;
  const std::optional<fido::StoredMessageHeader> header =
      ReadMessage(path, path, logger, result, message);
  if (!header) return;
  fido::RewriteStoredAttribute(message,
                               static_cast<std::uint16_t>(header->attribute | fido::kAttrSent));
  (void)Rewrite(path, message, path, logger, result);
}

bool StillWanted(const SendList& list, const std::string& path) {
  for (const int i : list.EntriesWithPath(path)) {
    const SendEntry& entry = list.Entry(i);
    if (entry.Path == path && entry.State != SendState::Sent) return true;
  }
  return false;
}

// Zeroes the file in place, so that it keeps its inode, owner and links; one
// deleted a moment ago is made anew, empty.
bool Zero(const std::string& path) {
  return platform::FileExists(path) ? platform::TruncateFile(path)
                                    : platform::CreateFileExclusive(path);
}

}  // namespace

RecordResult RecordSent(SendList& list, int current_entry, core::Logger& logger,
                        const config::Configuration& configuration,
                        const std::function<void()>& before_change) {
  Tally result;
  result.before_change = before_change;
  if (current_entry < 1 || current_entry > list.Count()) return result.result;
  const std::string key = list.Entry(current_entry).Path;
  // The entries of the file, found by its path: a message's bookkeeping
  // looks at its own entries only.
  const std::vector<int> same_file = list.EntriesWithPath(key);
  const auto of_message = [&](int i) {
    const SendEntry& entry = list.Entry(i);
    return i == current_entry || (entry.State == SendState::Taken && entry.Path == key);
  };
  // The line of a list is shared by every system that list stands for (one
  // address in two redirect entries): it stays while one of them did not get
  // the file.
  const auto line_still_wanted = [&](const SendEntry& sent) {
    for (const int i : same_file) {
      const SendEntry& entry = list.Entry(i);
      if (entry.ListPath == sent.ListPath && entry.State != SendState::Sent && !of_message(i)) {
        return true;
      }
    }
    return false;
  };

  bool delete_file = false;
  bool truncate_file = false;
  bool message_file = false;  // the file is a stored message: no list names it
  std::string last_path;
  // The entries whose file is its own queue item: it stays queued when it
  // cannot be deleted.
  std::vector<int> queued_by_file;
  for (const int i : same_file) {
    if (!of_message(i)) continue;
    SendEntry& entry = list.Entry(i);
    const int failures = result.failures;
    switch (entry.Kind) {
      case SendKind::ListedFile:
        if (line_still_wanted(entry)) {
          Log(logger, "-- Keeping " + entry.Path + " in " + entry.ListPath +
                          " (not every recipient got it)");
        } else {
          RemoveFromList(list, entry, configuration, logger, result);
        }
        break;
      case SendKind::AttachedFile:
        RemoveFromSubject(entry, logger, result);
        break;
      case SendKind::NetmailPacket:
      case SendKind::NetmailText:
        // A message with kill-sent is deleted below instead.
        if (entry.AfterSend == AfterSendAction::Nothing) SetSentFlag(entry.Path, logger, result);
        break;
      case SendKind::OutboundPacket:
        break;
    }
    if (result.failures != failures) result.result.untidied.push_back(i);
    last_path = entry.Path;
    message_file = entry.Kind == SendKind::NetmailText || entry.Kind == SendKind::NetmailPacket;
    if (message_file || entry.Kind == SendKind::OutboundPacket) queued_by_file.push_back(i);
    if (entry.AfterSend == AfterSendAction::Delete) delete_file = true;
    if (entry.AfterSend == AfterSendAction::Truncate) truncate_file = true;
    entry.State = SendState::Sent;
  }
  if (!delete_file && !truncate_file) return result.result;

  // Another system's entry of the same file that did not go (its recipient
  // refused, its outbound busy) still needs the file: it is kept for the next
  // run; and so is a file that any list of the mailer still names.
  if (StillWanted(list, last_path)) {
    Log(logger, "-- Keeping " + last_path + " (still listed for another system)");
    return result.result;
  }
  if (!message_file) {
    const std::string holder = ListedNamesOf(list, configuration).ListNaming(last_path);
    if (!holder.empty()) {
      Log(logger, "-- Keeping " + last_path + " (still listed in " + holder + ")");
      return result.result;
    }
  }
  // A file gone meanwhile needs no tidying.
  BeforeChange(result);
  if (delete_file) {
    Log(logger, "-- Deleting: " + last_path);
    if (!platform::DeleteFile(last_path) && errno != ENOENT) {
      Problem(logger, "-- Could not delete " + last_path + ": " + platform::ErrorText(errno));
      result.result.not_tidied = true;
      for (const int i : queued_by_file) {
        if (std::find(result.result.untidied.begin(), result.result.untidied.end(), i) ==
            result.result.untidied.end())
          result.result.untidied.push_back(i);
      }
    }
  }
  if (truncate_file) {
    Log(logger, "-- Zeroing: " + last_path);
    if (!Zero(last_path)) {
      Problem(logger, "-- Could not zero " + last_path + ": " + platform::ErrorText(errno));
      result.result.not_tidied = true;
    }
  }
  return result.result;
}

}  // namespace kestrel::outbound
