// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/attachment_decoder.h"

#include <unistd.h>

#include <utility>

#include "core/log.h"
#include "core/text_utils.h"
#include "receive/attachment_names.h"
#include "receive/mime_parameters.h"
#include "receive/mime_text.h"
#include "receive/uudecode.h"

namespace kestrel::receive {
namespace {

// "Name:" with a name of printable characters: a header field of any kind.
bool LooksLikeHeaderField(std::string_view line) {
  const auto colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  for (std::size_t i = 0; i < colon; ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c <= 32 || c >= 127) return false;
  }
  return true;
}

// Control characters of a hostile name are not shown as they are.
std::string Printable(std::string_view text) {
  std::string shown(text);
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return shown;
}

void AppendBounded(std::string& field, std::string_view piece) {
  if (field.size() < kMaxLogicalHeader) {
    field.append(piece.substr(0, kMaxLogicalHeader - field.size()));
  }
}

}  // namespace

AttachmentDecoder::AttachmentDecoder(core::FrontEnd& front_end, LogFunction log,
                                     std::string inbound)
    : front_end_(front_end),
      log_(std::move(log)),
      inbound_(std::move(inbound)),
      file_(front_end_, log_, inbound_) {}

AttachmentDecoder::~AttachmentDecoder() = default;

void AttachmentDecoder::StartMessage(std::FILE* saved_text, std::string name_stem) {
  AbandonFile();
  saved_text_ = saved_text;
  name_stem_ = std::move(name_stem);
  saved_text_failed_ = false;
  saved_block_.clear();
  saved_bytes_ = 0;
  continuing_line_ = false;
  multiparts_.clear();
  entity_ = Entity{};
  entity_.number = "1";
  decoded_.clear();
  problems_ = 0;
  every_message_ = false;
  report_.clear();
  report_dropped_ = 0;
  body_ = BodyKind::None;
  decoder_.reset();
}

void AttachmentDecoder::ScanBodyLine(std::string_view line, bool line_ends) {
  const bool starts = !continuing_line_;
  continuing_line_ = !line_ends;
  if (Route(line, starts, line_ends)) SaveLine(line, line_ends);
}

// A delimiter line ends a part, wherever it comes; any other line goes to
// the entity. False when the line stays out of the saved text.
bool AttachmentDecoder::Route(std::string_view line, bool starts, bool ends) {
  if (starts && ends) {
    bool closing = false;
    const int level = DelimiterLevel(line, closing);
    if (level >= 0) {
      Delimiter(level, closing);
      return true;
    }
  }
  switch (entity_.zone) {
    case Zone::Header:
      return HeaderLine(line, starts, ends);
    case Zone::Body:
      BodyLine(line, starts, ends);
      break;
    case Zone::Ignored:
      break;
  }
  return true;
}

bool AttachmentDecoder::HeaderLine(std::string_view line, bool starts, bool ends) {
  if (!starts || (!line.empty() && IsBlank(line.front()))) {
    // The rest of a long line, or a continuation of the field above.
    if (!entity_.field.empty()) AppendBounded(entity_.field, line);
    return true;
  }
  if (line.empty()) {
    EndHeader();
    // The empty line before a file's data stays out of the saved text.
    return body_ != BodyKind::File;
  }
  if (LooksLikeHeaderField(line)) {
    TakeField();
    entity_.field.assign(line.substr(0, kMaxLogicalHeader));
    return true;
  }
  // The header ended without its empty line: this is the body's first line.
  EndHeader();
  return Route(line, starts, ends);
}

void AttachmentDecoder::TakeField() {
  const std::string_view field = entity_.field;
  const auto colon = field.find(':');
  if (colon != std::string_view::npos) {
    const std::string name = core::UpperCase(TrimBlanks(field.substr(0, colon)));
    std::string* value = name == "CONTENT-TYPE"                ? &entity_.content_type
                         : name == "CONTENT-DISPOSITION"       ? &entity_.disposition
                         : name == "CONTENT-TRANSFER-ENCODING" ? &entity_.encoding
                                                               : nullptr;
    // The first of a field counts, as mail clients read it.
    if (value && value->empty()) *value = TrimBlanks(field.substr(colon + 1));
  }
  entity_.field.clear();
}

void AttachmentDecoder::EndHeader() {
  TakeField();
  entity_.zone = Zone::Body;
  const MimeField type = ParseMimeField(entity_.content_type);
  std::string media = type.value;
  if (entity_.content_type.empty()) {
    media = entity_.in_digest ? "message/rfc822" : "text/plain";
  } else if (media.find('/') == std::string::npos) {
    media = "text/plain";
  }
  const TransferEncoding encoding = ParseTransferEncoding(entity_.encoding);
  const bool multipart = StartsWith(media, "multipart/");
  const bool message = (media == "message/rfc822" || media == "message/global") &&
                       encoding == TransferEncoding::Identity;
  if (multipart || message) {
    if (entity_.depth >= kMaxMimeDepth) {
      Problem("Part " + entity_.number + ": nested deeper than " + std::to_string(kMaxMimeDepth) +
              " levels, not followed");
      entity_.zone = Zone::Ignored;
      return;
    }
    if (multipart) {
      entity_.zone = Zone::Ignored;  // its preamble is not looked at
      const std::optional<std::string> boundary = RawParameter(type, "boundary");
      if (!boundary || boundary->empty()) {
        Problem("Part " + entity_.number + ": a multipart without a boundary, its parts unknown");
        return;
      }
      multiparts_.push_back(
          {*boundary, entity_.prefix, entity_.depth, 0, media == "multipart/digest"});
      return;
    }
    // A forwarded message: its own header follows.
    Entity inner;
    inner.number = entity_.number + ".1";
    inner.prefix = entity_.number;
    inner.depth = entity_.depth + 1;
    entity_ = std::move(inner);
    return;
  }
  const MimeField disposition = ParseMimeField(entity_.disposition);
  std::optional<std::string> name = DecodedParameter(disposition, "filename");
  if (!name || name->empty()) name = DecodedParameter(type, "name");
  if (name && name->empty()) name.reset();
  const bool is_file = name || disposition.value == "attachment" || !StartsWith(media, "text/");
  StartLeaf(media, encoding, is_file, name);
}

void AttachmentDecoder::StartLeaf(const std::string& media_type, TransferEncoding encoding,
                                  bool is_file, const std::optional<std::string>& name) {
  body_ = BodyKind::None;
  name_generated_ = false;
  file_label_ = "Part " + entity_.number + (name ? " (" + Printable(*name) + ")" : "");
  if (encoding == TransferEncoding::Uuencode ||
      (!is_file && media_type == "text/plain" && encoding == TransferEncoding::Identity)) {
    body_ = BodyKind::UuText;
    uu_state_ = UuState::Searching;
    uu_expected_ = encoding == TransferEncoding::Uuencode;
    uu_found_ = false;
    uu_name_ = name.value_or("");
    return;
  }
  if (!is_file) return;
  if (encoding == TransferEncoding::Unknown) {
    Problem(file_label_ + ": unknown transfer encoding " + Printable(entity_.encoding));
    return;
  }
  std::string safe;
  if (name) {
    safe = SafeAttachmentName(*name);
    if (safe.empty()) {
      Problem(file_label_ + ": no usable file name can be made of it");
      return;
    }
  } else {
    safe = GeneratedName(name_stem_, entity_.number, media_type);
    name_generated_ = true;
  }
  // Once the message has to stay on the server, nothing more of it is written.
  if (problems_ > 0) return;
  decoder_ = MakeContentDecoder(encoding);
  pending_.clear();
  if (OpenFile(safe)) body_ = BodyKind::File;
}

void AttachmentDecoder::BodyLine(std::string_view line, bool starts, bool ends) {
  switch (body_) {
    case BodyKind::File:
      decoder_->Feed(line, ends, pending_);
      if (pending_.size() >= kDecodeBlock) WriteDecoded(false);
      file_.ShowProgress(pending_.size());
      break;
    case BodyKind::UuText:
      if (starts) UuTextLine(line, ends);
      break;
    case BodyKind::None:
      break;
  }
}

void AttachmentDecoder::UuTextLine(std::string_view line, bool whole_line) {
  if (uu_state_ == UuState::Searching) {
    if (whole_line) UuBegin(line);
    return;
  }
  const UuLine kind = whole_line ? DecodeUuLine(line, pending_) : UuLine::Other;
  if (uu_state_ == UuState::Begun) {
    if (kind == UuLine::Other) {  // no uuencoded data after all, only text
      uu_state_ = UuState::Searching;
      pending_.clear();
      if (whole_line) UuBegin(line);
      return;
    }
    uu_found_ = true;
    if (problems_ > 0 || !OpenFile(file_name_)) {
      uu_state_ = UuState::Searching;
      pending_.clear();
      return;
    }
    uu_state_ = UuState::InFile;
  }
  switch (kind) {
    case UuLine::Data:
      if (pending_.size() >= kDecodeBlock) WriteDecoded(true);
      file_.ShowProgress(pending_.size());
      return;
    case UuLine::End:
      FinishFile();
      break;
    case UuLine::Other:
      Problem(file_label_ + ": the uuencoded data breaks off");
      AbandonFile();
      break;
  }
  uu_state_ = UuState::Searching;
}

void AttachmentDecoder::UuBegin(std::string_view line) {
  const std::optional<std::string> begin_name = UuBeginName(line);
  if (!begin_name) return;
  const std::string& name = uu_name_.empty() ? *begin_name : uu_name_;
  file_label_ = "Part " + entity_.number + " (" + Printable(name) + ")";
  name_generated_ = false;
  file_name_ = SafeAttachmentName(name);
  if (file_name_.empty()) {
    uu_found_ = true;
    Problem(file_label_ + ": no usable file name can be made of it");
    return;
  }
  uu_state_ = UuState::Begun;
}

int AttachmentDecoder::DelimiterLevel(std::string_view line, bool& closing) const {
  if (multiparts_.empty() || !StartsWith(line, "--")) return -1;
  const std::string_view rest = line.substr(2);
  // The innermost first: an inner part may not contain an outer delimiter,
  // but an outer one ends everything inside it.
  for (int level = static_cast<int>(multiparts_.size()) - 1; level >= 0; --level) {
    const std::string& boundary = multiparts_[static_cast<std::size_t>(level)].boundary;
    if (!StartsWith(rest, boundary)) continue;
    std::string_view tail = rest.substr(boundary.size());
    closing = StartsWith(tail, "--");
    if (closing) tail.remove_prefix(2);
    if (tail.find_first_not_of(" \t") == std::string_view::npos) return level;
  }
  return -1;
}

void AttachmentDecoder::Delimiter(int level, bool closing) {
  if (entity_.zone == Zone::Header) EndHeader();  // a part without a body
  FinishBody(true);
  // Inner multiparts that were never closed end here as well.
  multiparts_.resize(static_cast<std::size_t>(level) + 1);
  Multipart& multipart = multiparts_.back();
  Entity part;
  if (closing) {
    multiparts_.pop_back();
    part.zone = Zone::Ignored;  // the epilogue
  } else {
    ++multipart.parts;
    const std::string n = std::to_string(multipart.parts);
    part.number = multipart.prefix.empty() ? n : multipart.prefix + "." + n;
    part.prefix = part.number;
    part.depth = multipart.depth + 1;
    part.in_digest = multipart.digest;
  }
  entity_ = std::move(part);
}

void AttachmentDecoder::FinishBody(bool before_delimiter) {
  switch (body_) {
    case BodyKind::File:
      decoder_->Finish(before_delimiter, pending_);
      FinishFile();
      break;
    case BodyKind::UuText:
      if (uu_state_ == UuState::InFile) {
        Problem(file_label_ + ": the uuencoded file has no end line");
        AbandonFile();
      }
      if (uu_expected_ && !uu_found_) Problem(file_label_ + ": no uuencoded file in it");
      break;
    case BodyKind::None:
      break;
  }
  body_ = BodyKind::None;
  decoder_.reset();
  pending_.clear();
}

bool AttachmentDecoder::OpenFile(const std::string& name) {
  file_name_ = name;
  if (file_.Open(name)) return true;
  FileProblem();
  return false;
}

void AttachmentDecoder::WriteDecoded(bool all) {
  const std::size_t ready = all || !decoder_ ? pending_.size() : decoder_->Ready(pending_);
  if (ready == 0 || !file_.is_open()) return;
  if (!file_.Write(std::string_view(pending_).substr(0, ready))) {
    FileProblem();
    if (body_ == BodyKind::File) body_ = BodyKind::None;
    uu_state_ = UuState::Searching;
    pending_.clear();
    return;
  }
  pending_.erase(0, ready);
}

void AttachmentDecoder::FinishFile() {
  WriteDecoded(true);
  if (!file_.is_open()) return;  // the write failed, and said so
  // The saved text so far goes to the disk before the file gets its name:
  // what is left for the end of the message is then short, and so is the
  // moment between the name and the journal entry.
  SyncSavedText();
  const std::optional<std::string> name = file_.Finish();
  if (!name) {
    FileProblem();
    return;
  }
  decoded_.push_back(*name);
  if (name_generated_) Report("-- " + file_label_ + " has no name, saved as " + *name);
}

void AttachmentDecoder::AbandonFile() {
  if (file_.is_open()) file_.Abandon();
  pending_.clear();
}

void AttachmentDecoder::Problem(const std::string& what, bool every_message) {
  ++problems_;
  every_message_ = every_message_ || every_message;
  Report("-- " + what);
}

void AttachmentDecoder::FileProblem() {
  const InboundFile::Failure& failure = file_.failure();
  Problem(file_label_ + ": " + failure.reason, failure.every_message);
}

void AttachmentDecoder::Report(std::string line) {
  if (report_.size() < kMaxReportLines) {
    report_.push_back(std::move(line));
  } else {
    ++report_dropped_;
  }
}

void AttachmentDecoder::SaveLine(std::string_view line, bool line_ends) {
  if (saved_text_ == nullptr || saved_text_failed_) return;
  // Lines go out in blocks: a call to the C library for each line costs more
  // than decoding it.
  saved_block_.append(line);
  if (line_ends) saved_block_.append("\r\n");
  if (saved_block_.size() >= kDecodeBlock) (void)FlushSavedText();
}

void AttachmentDecoder::SyncSavedText() {
  if (!FlushSavedText()) return;
  if (std::fflush(saved_text_) != 0 || ::fsync(::fileno(saved_text_)) != 0) {
    saved_text_failed_ = true;
    Problem("Could not write to SaveEmail directory", true);
  }
}

bool AttachmentDecoder::FlushSavedText() {
  if (saved_text_ == nullptr || saved_text_failed_) return false;
  const bool ok = WriteHandingToDisk(saved_text_, saved_block_, saved_bytes_);
  saved_bytes_ += saved_block_.size();
  saved_block_.clear();
  if (!ok) {
    saved_text_failed_ = true;
    Problem("Could not write to SaveEmail directory", true);
  }
  return ok;
}

MessageOutcome AttachmentDecoder::EndOfMessage(bool data_complete) {
  if (data_complete) {
    if (entity_.zone == Zone::Header) EndHeader();
    if (!multiparts_.empty() && body_ == BodyKind::File) {
      // Its delimiter never came: the message on the server is cut short.
      Problem(file_label_ + ": the message ends inside it");
      AbandonFile();
      body_ = BodyKind::None;
    }
    FinishBody(false);
  } else if (file_.is_open()) {
    Report("-- Attachment " + file_name_ + " incomplete, removed");
    AbandonFile();
  }
  body_ = BodyKind::None;
  decoder_.reset();
  SyncSavedText();
  MessageOutcome outcome;
  outcome.whole = data_complete && problems_ == 0;
  outcome.every_message = every_message_;
  if (!outcome.whole) {
    for (const auto& name : decoded_) {
      (void)platform::DeleteFile(inbound_ + name);
      Report("-- Removed " + name + ", the message stays on the server");
    }
  }
  outcome.report = std::move(report_);
  if (report_dropped_ > 0) {
    outcome.report.push_back("-- ... and " + std::to_string(report_dropped_) + " more");
  }
  report_.clear();
  report_dropped_ = 0;
  decoded_.clear();
  saved_text_ = nullptr;
  continuing_line_ = false;
  return outcome;
}

}  // namespace kestrel::receive
