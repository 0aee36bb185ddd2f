// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/record_sent.h"

#include <optional>
#include <vector>

#include "config/address.h"
#include "core/le_bytes.h"
#include "core/text_utils.h"
#include "fido/attributes.h"
#include "fido/stored_message.h"
#include "platform/file_names.h"
#include "platform/files.h"

namespace kestrel::send {

namespace {

using outbound::AfterSendAction;
using outbound::SendEntry;
using outbound::SendKind;
using outbound::SendState;

// Flow files and lists are read whole; one beyond this is no list of ours.
constexpr std::uint64_t kMaxListBytes = 16u * 1024 * 1024;
// Stored messages are rewritten whole; the same bound as for sending them.
constexpr std::uint64_t kMaxMessageBytes = 64u * 1024 * 1024;
// The longest list line compared, as the scans read them.
constexpr std::size_t kMaxListLine = 255;
// The subject written back keeps its zero byte inside the field.
constexpr std::size_t kMaxSubjectWritten = fido::kStoredSubjectSize - 1;

void Log(core::Logger& logger, const std::string& text) {
  logger.LogLine(core::Side::Sending, text);
}

// The path with its extension (from the last "." of the last component)
// replaced; the extension is given with its dot.
std::string WithExtension(const std::string& path, std::string_view extension) {
  const std::size_t separator = path.find_last_of("\\/");
  const std::size_t dot = path.rfind('.');
  const bool has_dot =
      dot != std::string::npos && (separator == std::string::npos || dot > separator);
  return (has_dot ? path.substr(0, dot) : path) + std::string(extension);
}

// True when a list line names the sent file: after an optional "^" or "#", the
// upper-cased rest equals the path, directly or after the scans' remap.
bool LineNamesFile(std::string_view line, const std::string& path, const PathRemap& remap) {
  if (line.empty()) return false;
  if (line.front() == '^' || line.front() == '#') line.remove_prefix(1);
  const std::string upper = core::UpperCase(line.substr(0, kMaxListLine));
  if (upper == path) return true;
  return !remap.from.empty() &&
         config::ApplyRemap(upper, remap.from, remap.to, kMaxListLine) == path;
}

// Drops the lines naming the file from its flow file or list, replacing the
// file atomically; an emptied list is deleted (a VFIDO list with its packet).
void RemoveFromList(const SendEntry& entry, core::Logger& logger, const PathRemap& remap,
                    RecordResult& result) {
  Log(logger, "-- Removing file from flowfile " + entry.ListPath);
  std::string content;
  const platform::ReadOutcome outcome =
      platform::ReadBoundedFile(entry.ListPath, 0, kMaxListBytes, content);
  if (outcome == platform::ReadOutcome::TooLarge)
    Log(logger, "-- Too large to update: " + entry.ListPath);
  if (outcome != platform::ReadOutcome::Ok) return;

  // Kept lines are copied byte for byte, line ends included, whatever their length.
  std::string kept;
  kept.reserve(content.size());
  bool dropped = false;
  std::size_t at = 0;
  while (at < content.size()) {
    std::size_t end = content.find('\n', at);
    end = end == std::string::npos ? content.size() : end + 1;
    std::string_view line(content.data() + at, end - at);
    std::string_view text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    if (LineNamesFile(text, entry.Path, remap)) {
      dropped = true;
    } else {
      kept.append(line);
    }
    at = end;
  }
  if (dropped && !platform::ReplaceFileContent(entry.ListPath, kept)) {
    Log(logger, "-- Could not rewrite " + entry.ListPath);
    result.io_error = true;
    return;
  }
  if (platform::FileSize(entry.ListPath) == std::optional<std::uint64_t>(0)) {
    (void)platform::DeleteFile(entry.ListPath);
    if (core::UpperCase(entry.ListPath).find(".LST") != std::string::npos) {
      (void)platform::DeleteFile(WithExtension(entry.ListPath, ".PKT"));
    }
  }
}

// Reads a stored message whole for a header change and gives its header;
// nothing when it cannot be read or is shorter than its header.
std::optional<fido::StoredMessageHeader> ReadMessage(const std::string& path, core::Logger& logger,
                                                     std::string& message_r) {
  const platform::ReadOutcome outcome =
      platform::ReadBoundedFile(path, fido::kStoredMessageHeaderSize, kMaxMessageBytes, message_r);
  if (outcome == platform::ReadOutcome::TooLarge) Log(logger, "-- Too large to update: " + path);
  if (outcome != platform::ReadOutcome::Ok) return std::nullopt;
  core::ByteReader reader(message_r);
  return fido::ParseStoredMessageHeader(reader);
}

void WriteMessage(const std::string& path, const std::string& message, core::Logger& logger,
                  RecordResult& result) {
  if (!platform::ReplaceFileContent(path, message)) {
    Log(logger, "-- Could not rewrite " + path);
    result.io_error = true;
  }
}

// Position of the file name in the subject as a whole word, letters compared
// without regard to case; npos when absent.
std::size_t FindNameInSubject(const std::string& subject, const std::string& name) {
  if (name.empty()) return std::string::npos;
  const std::string upper_subject = core::UpperCase(subject);
  const std::string upper_name = core::UpperCase(name);
  for (std::size_t at = upper_subject.find(upper_name); at != std::string::npos;
       at = upper_subject.find(upper_name, at + 1)) {
    const std::size_t end = at + upper_name.size();
    const bool starts_word = at == 0 || subject[at - 1] == ' ';
    const bool ends_word = end == subject.size() || subject[end] == ' ';
    if (starts_word && ends_word) return at;
  }
  return std::string::npos;
}

// Takes the sent file out of the subject of its file-attach message; a
// subject left without files announces the sending instead.
void RemoveFromSubject(const SendEntry& entry, core::Logger& logger, RecordResult& result) {
  Log(logger, "-- Removing file from MSG-subject " + entry.ListPath);
  std::string message;
  const std::optional<fido::StoredMessageHeader> header =
      ReadMessage(entry.ListPath, logger, message);
  if (!header) return;
  std::string subject = header->subject;
  const std::size_t at = FindNameInSubject(subject, entry.Path);
  if (at != std::string::npos) subject.erase(at, entry.Path.size());
  if (subject.find_first_not_of(' ') == std::string::npos) {
    fido::RewriteStoredAttribute(
        message, static_cast<std::uint16_t>(header->attribute & ~fido::kAttrFileAttached));
    subject = "KESTREL - Files sent " + core::DateText() + " " + core::TimeText();
  }
  subject.resize(std::min(subject.size(), kMaxSubjectWritten));
  // The whole field is rewritten: the subject, its zero byte, zeros after it.
  fido::RewriteStoredSubject(message, subject);
  WriteMessage(entry.ListPath, message, logger, result);
}

void SetSentFlag(const std::string& path, core::Logger& logger, RecordResult& result) {
  Log(logger, "-- Setting sent flag on " + platform::BaseName(path));
  std::string message;
  const std::optional<fido::StoredMessageHeader> header = ReadMessage(path, logger, message);
  if (!header) return;
  fido::RewriteStoredAttribute(message,
                               static_cast<std::uint16_t>(header->attribute | fido::kAttrSent));
  WriteMessage(path, message, logger, result);
}

// The file a message's entries share: for a packed netmail the stored
// message, which the other entries of that message still name.
const std::string& MessageKey(const SendEntry& entry) {
  return entry.Kind == SendKind::NetmailPacket && !entry.ListPath.empty() ? entry.ListPath
                                                                          : entry.Path;
}

bool StillWanted(const outbound::SendList& list, const std::string& path) {
  for (int i = 1; i <= list.Count(); ++i) {
    const SendEntry& entry = list.Entry(i);
    if (entry.Path == path && entry.State != SendState::Sent) return true;
  }
  return false;
}

}  // namespace

RecordResult RecordSent(outbound::SendList& list, int current_entry, core::Logger& logger,
                        const PathRemap& remap) {
  RecordResult result;
  if (current_entry < 1 || current_entry > list.Count()) return result;
  const std::string key = MessageKey(list.Entry(current_entry));

  bool delete_file = false;
  bool truncate_file = false;
  std::string last_path;
  for (int i = 1; i <= list.Count(); ++i) {
    SendEntry& entry = list.Entry(i);
    const bool of_message =
        i == current_entry || (entry.State == SendState::Taken && MessageKey(entry) == key);
    if (!of_message) continue;
    switch (entry.Kind) {
      case SendKind::ListedFile:
        RemoveFromList(entry, logger, remap, result);
        break;
      case SendKind::AttachedFile:
        RemoveFromSubject(entry, logger, result);
        break;
      case SendKind::NetmailPacket:
        if (!entry.ListPath.empty() && entry.Path != entry.ListPath) {
          (void)platform::DeleteFile(entry.Path);  // the temporary packet
          entry.Path = entry.ListPath;
        }
        [[fallthrough]];
      case SendKind::NetmailText:
        // A message with kill-sent is deleted below instead.
        if (entry.AfterSend == AfterSendAction::Nothing) SetSentFlag(entry.Path, logger, result);
        break;
      case SendKind::OutboundPacket:
        break;
    }
    last_path = entry.Path;
    if (entry.AfterSend == AfterSendAction::Delete) delete_file = true;
    if (entry.AfterSend == AfterSendAction::Truncate) truncate_file = true;
    entry.State = SendState::Sent;
  }

  // Another system's entry of the same file that did not go (its recipient
  // refused, its outbound busy) still needs the file: it is kept for the next run.
  if ((delete_file || truncate_file) && StillWanted(list, last_path)) {
    Log(logger, "-- Keeping " + last_path + " (still listed for another system)");
    delete_file = truncate_file = false;
  }
  // The name on disk, found before a delete, so that a file truncated after it
  // is created again under its own name rather than the upper-cased one.
  const std::string real_path = platform::ResolveName(last_path);
  if (delete_file) {
    Log(logger, "-- Deleting: " + last_path);
    (void)platform::DeleteFile(real_path);
  }
  if (truncate_file) {
    Log(logger, "-- Zeroing: " + last_path);
    if (!platform::ReplaceFileContent(real_path, "")) {
      Log(logger, "-- Could not rewrite " + last_path);
    }
  }
  return result;
}

}  // namespace kestrel::send
