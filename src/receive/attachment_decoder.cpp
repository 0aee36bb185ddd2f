// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/attachment_decoder.h"

#include <cerrno>
#include <utility>

#include "core/log.h"
#include "core/text_utils.h"
#include "mime/mime_parameters.h"
#include "mime/mime_text.h"
#include "platform/error_text.h"
#include "receive/attachment_names.h"

namespace kestrel::receive {
namespace {

// multipart/report of a delivery status notification (RFC 3464, RFC 6533).
bool IsDeliveryReport(const std::string& media_type, const mime::MimeField& type) {
  if (media_type != "multipart/report") return false;
  const std::string report_type =
      core::UpperCase(mime::RawParameter(type, "report-type").value_or(""));
  return report_type == "DELIVERY-STATUS" || report_type == "GLOBAL-DELIVERY-STATUS";
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
      file_(front_end_, log_, inbound_),
      uu_(SafeAttachmentName) {
  digest_.emplace();
}

AttachmentDecoder::~AttachmentDecoder() = default;

void AttachmentDecoder::StartMessage(std::FILE* saved_text, std::string name_stem,
                                     std::string saved_text_path, DecodeMode mode) {
  AbandonFile();
  mode_ = mode;
  saved_text_ = mode == DecodeMode::Save ? saved_text : nullptr;
  saved_text_path_ = std::move(saved_text_path);
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
  top_header_done_ = false;
  top_field_seen_ = false;
  digest_.emplace();
  report_reader_.reset();
  delivery_report_.reset();
}

void AttachmentDecoder::ScanBodyLine(std::string_view line, bool line_ends) {
  const bool starts = !continuing_line_;
  continuing_line_ = !line_ends;
  const bool in_body = top_header_done_;
  const bool saved = Route(line, starts, line_ends);
  // The empty line that ends the top-level header is no part of the content.
  if (in_body || (top_header_done_ && !(starts && mime::WithoutStrayCr(line).empty()))) {
    digest_->BodyLine(line, line_ends);
  }
  if (saved) SaveLine(line, line_ends);
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
  const std::string_view text = ends ? mime::WithoutStrayCr(line) : line;
  if (!starts || (!text.empty() && mime::IsBlank(text.front()))) {
    // The rest of a long line, or a continuation of the field above.
    if (!entity_.field.empty()) AppendBounded(entity_.field, text);
    return true;
  }
  const bool top = !top_header_done_;
  if (text.empty()) {
    if (top && !top_field_seen_) NoHead(text);
    EndHeader();
    // The empty line before a file's data stays out of the saved text.
    return body_ != BodyKind::File;
  }
  if (mime::LooksLikeHeaderField(text)) {
    top_field_seen_ = top_field_seen_ || top;
    TakeField();
    entity_.field.assign(text.substr(0, kMaxLogicalHeader));
    return true;
  }
  if (top && !top_field_seen_) NoHead(text);
  // The header ended without its empty line: this is the body's first line.
  EndHeader();
  return Route(line, starts, ends);
}

void AttachmentDecoder::TakeField() {
  const std::string_view field = entity_.field;
  const auto colon = field.find(':');
  if (colon != std::string_view::npos) {
    const std::string name = core::UpperCase(mime::TrimBlanks(field.substr(0, colon)));
    std::string* value = name == "CONTENT-TYPE"                ? &entity_.content_type
                         : name == "CONTENT-DISPOSITION"       ? &entity_.disposition
                         : name == "CONTENT-TRANSFER-ENCODING" ? &entity_.encoding
                                                               : nullptr;
    // The first of a field counts, as mail clients read it.
    if (value && value->empty()) *value = mime::TrimWhitespace(field.substr(colon + 1));
    if (entity_.returned && name == "MESSAGE-ID" && delivery_report_->original_message_id.empty()) {
      delivery_report_->original_message_id =
          mime::ReportField(mime::TrimWhitespace(field.substr(colon + 1)));
    }
  }
  entity_.field.clear();
}

void AttachmentDecoder::EndHeader() {
  TakeField();
  top_header_done_ = true;
  entity_.zone = Zone::Body;
  const mime::MimeField type = mime::ParseMimeField(entity_.content_type);
  std::string media = type.value;
  if (entity_.content_type.empty()) {
    media = entity_.in_digest ? "message/rfc822" : "text/plain";
  } else if (media.find('/') == std::string::npos) {
    media = "text/plain";
  }
  const mime::TransferEncoding encoding = mime::ParseTransferEncoding(entity_.encoding);
  const bool multipart = mime::StartsWith(media, "multipart/");
  const bool message = (media == "message/rfc822" || media == "message/global") &&
                       encoding == mime::TransferEncoding::Identity;
  if (multipart && IsDeliveryReport(media, type)) {
    entity_.in_report = true;
    if (!delivery_report_) delivery_report_.emplace();
  }
  if (multipart || message) {
    // Nothing of a report is saved, so nothing of it can be lost either.
    if (entity_.depth >= kMaxMimeDepth) {
      if (!entity_.in_report) {
        Problem("Part " + entity_.number + ": nested deeper than " + std::to_string(kMaxMimeDepth) +
                " levels, not followed");
      }
      entity_.zone = Zone::Ignored;
      return;
    }
    if (multipart) {
      entity_.zone = Zone::Ignored;  // its preamble is not looked at
      const std::optional<std::string> boundary = mime::RawParameter(type, "boundary");
      if (!boundary || boundary->empty()) {
        if (!entity_.in_report) {
          Problem("Part " + entity_.number + ": a multipart without a boundary, its parts unknown");
        }
        return;
      }
      multiparts_.push_back({*boundary, entity_.prefix, entity_.depth, 0,
                             media == "multipart/digest", entity_.in_report, entity_.number});
      return;
    }
    // A forwarded message: its own header follows.
    Entity inner;
    inner.number = entity_.number + ".1";
    inner.prefix = entity_.number;
    inner.depth = entity_.depth + 1;
    inner.in_report = entity_.in_report;
    inner.returned = entity_.in_report;
    entity_ = std::move(inner);
    return;
  }
  if (entity_.in_report) {
    StartReportLeaf(media, encoding);
    return;
  }
  const mime::MimeField disposition = mime::ParseMimeField(entity_.disposition);
  std::optional<std::string> name = mime::DecodedParameter(disposition, "filename");
  if (!name || name->empty()) name = mime::DecodedParameter(type, "name");
  if (name && name->empty()) name.reset();
  const bool is_file =
      name || disposition.value == "attachment" || !mime::StartsWith(media, "text/");
  StartLeaf(media, encoding, is_file, name);
}

// Data that does not begin with a head is not the message the head showed
// (or no message at all): what it holds cannot be told.
void AttachmentDecoder::NoHead(std::string_view first_line) {
  Problem("The message data begins with no head: \"" +
          core::Printable(first_line.substr(0, kMaxQuotedLine)) + "\"");
}

void AttachmentDecoder::StartLeaf(const std::string& media_type, mime::TransferEncoding encoding,
                                  bool is_file, const std::optional<std::string>& name) {
  body_ = BodyKind::None;
  name_generated_ = false;
  file_data_seen_ = false;
  file_bytes_ = 0;
  file_label_ = "Part " + entity_.number + (name ? " (" + core::Printable(*name) + ")" : "");
  if (encoding == mime::TransferEncoding::Uuencode ||
      (!is_file && media_type == "text/plain" && encoding == mime::TransferEncoding::Identity)) {
    body_ = BodyKind::UuText;
    uu_.StartPart(name.value_or(""), encoding == mime::TransferEncoding::Uuencode);
    return;
  }
  if (!is_file) return;
  if (encoding == mime::TransferEncoding::Unknown) {
    Problem(file_label_ + ": unknown transfer encoding " + core::Printable(entity_.encoding));
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
  decoder_ = mime::MakeContentDecoder(encoding);
  pending_.clear();
  // A made-up name differs from run to run: its part's place counts instead.
  const std::string digest_name = name ? safe : GeneratedName("", entity_.number, media_type);
  if (OpenFile(safe, digest_name)) body_ = BodyKind::File;
}

// Of a report only its machine-readable parts are read, whatever their encoding.
void AttachmentDecoder::StartReportLeaf(const std::string& media_type,
                                        mime::TransferEncoding encoding) {
  body_ = BodyKind::None;
  const bool status =
      media_type == "message/delivery-status" || media_type == "message/global-delivery-status";
  const bool headers =
      media_type == "text/rfc822-headers" || media_type == "message/global-headers";
  if (!status && !headers) return;
  decoder_ = mime::MakeContentDecoder(encoding);
  if (!decoder_) return;
  pending_.clear();
  report_reader_.emplace(*delivery_report_, status ? mime::ReportPartReader::Kind::DeliveryStatus
                                                   : mime::ReportPartReader::Kind::ReturnedHeaders);
  body_ = BodyKind::ReportPart;
}

void AttachmentDecoder::BodyLine(std::string_view line, bool starts, bool ends) {
  switch (body_) {
    case BodyKind::File:
      file_data_seen_ = file_data_seen_ || !mime::TrimWhitespace(line).empty();
      decoder_->Feed(line, ends, pending_);
      if (pending_.size() >= kDecodeBlock) WriteDecoded(false);
      ShowProgress();
      break;
    case BodyKind::UuText:
      if (starts) UuTextLine(line, ends);
      break;
    case BodyKind::ReportPart:
      decoder_->Feed(line, ends, pending_);
      PassReportLines(false);
      break;
    case BodyKind::None:
      break;
  }
}

// The decoded lines of a report part to its reader, as far as later input
// cannot change them; a line longer than any field can be is passed on in
// pieces.
void AttachmentDecoder::PassReportLines(bool all) {
  const std::string_view ready =
      std::string_view(pending_).substr(0, all ? pending_.size() : decoder_->Ready(pending_));
  std::size_t at = 0;
  for (std::size_t end; (end = ready.find('\n', at)) != std::string_view::npos; at = end + 1) {
    report_reader_->Line(mime::WithoutStrayCr(ready.substr(at, end - at)));
  }
  pending_.erase(0, at);
  if (all || pending_.size() >= kMaxLogicalHeader) {
    if (!pending_.empty()) report_reader_->Line(pending_);
    pending_.clear();
  }
  if (all) report_reader_->End();
}

void AttachmentDecoder::UuTextLine(std::string_view line, bool whole_line) {
  const mime::UuScan scan = uu_.Line(line, whole_line, pending_);
  if (scan == mime::UuScan::Text) return;
  if (scan == mime::UuScan::Begins || scan == mime::UuScan::Unusable) {
    file_label_ = "Part " + entity_.number + " (" + core::Printable(uu_.name()) + ")";
    name_generated_ = false;
    file_name_ = uu_.file_name();
    if (scan == mime::UuScan::Unusable)
      Problem(file_label_ + ": no usable file name can be made of it");
    return;
  }
  if (uu_.opens_file() && (problems_ > 0 || !OpenFile(file_name_, file_name_))) {
    uu_.Stop();
    pending_.clear();
    return;
  }
  switch (scan) {
    case mime::UuScan::Data:
      if (pending_.size() >= kDecodeBlock) WriteDecoded(true);
      ShowProgress();
      break;
    case mime::UuScan::End:
      FinishFile();
      break;
    default:
      Problem(file_label_ + ": the uuencoded data breaks off");
      AbandonFile();
      break;
  }
}

int AttachmentDecoder::DelimiterLevel(std::string_view line, bool& closing) const {
  if (multiparts_.empty() || !mime::StartsWith(line, "--")) return -1;
  const std::string_view rest = line.substr(2);
  // The innermost first: an inner part may not contain an outer delimiter,
  // but an outer one ends everything inside it.
  for (int level = static_cast<int>(multiparts_.size()) - 1; level >= 0; --level) {
    const std::string& boundary = multiparts_[static_cast<std::size_t>(level)].boundary;
    if (!mime::StartsWith(rest, boundary)) continue;
    std::string_view tail = rest.substr(boundary.size());
    closing = mime::StartsWith(tail, "--");
    if (closing) tail.remove_prefix(2);
    if (mime::TrimWhitespace(tail).empty()) return level;
  }
  return -1;
}

void AttachmentDecoder::Delimiter(int level, bool closing) {
  if (entity_.zone == Zone::Header) EndHeader();  // a part without a body
  FinishBody(true);
  // Inner multiparts that were never closed end here as well.
  DropMultiparts(static_cast<std::size_t>(level) + 1);
  Multipart& multipart = multiparts_.back();
  multipart.delimited = true;
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
    part.in_report = multipart.report;
  }
  entity_ = std::move(part);
}

// A multipart none of whose delimiters came held its parts in what was read
// as its preamble: they are unknown, and may have been files.
void AttachmentDecoder::DropMultiparts(std::size_t kept) {
  while (multiparts_.size() > kept) {
    const Multipart& multipart = multiparts_.back();
    if (!multipart.delimited && !multipart.report) {
      Problem("Part " + multipart.number + ": its boundary " +
              core::Printable(multipart.boundary.substr(0, kMaxQuotedLine)) +
              " never occurs, its parts unknown");
    }
    multiparts_.pop_back();
  }
}

void AttachmentDecoder::FinishBody(bool before_delimiter) {
  switch (body_) {
    case BodyKind::File:
      decoder_->Finish(before_delimiter, pending_);
      FinishFile();
      break;
    case BodyKind::UuText:
      if (uu_.in_file()) {
        Problem(file_label_ + ": the uuencoded file has no end line");
        AbandonFile();
      }
      if (uu_.missing()) Problem(file_label_ + ": no uuencoded file in it");
      break;
    case BodyKind::ReportPart:
      decoder_->Finish(before_delimiter, pending_);
      PassReportLines(true);
      report_reader_.reset();
      break;
    case BodyKind::None:
      break;
  }
  body_ = BodyKind::None;
  decoder_.reset();
  pending_.clear();
}

// digest_name: the name the content digest knows the file by.
bool AttachmentDecoder::OpenFile(const std::string& name, const std::string& digest_name) {
  digest_->StartFile(digest_name);  // before file_name_ changes: it may be named by it
  file_name_ = upper_case_names_ ? core::UpperCase(name) : name;
  if (mode_ == DecodeMode::VerifyOnly) {
    verify_file_open_ = true;
    return true;
  }
  if (file_.Open(file_name_)) return true;
  FileProblem();
  return false;
}

bool AttachmentDecoder::FileIsOpen() const {
  return mode_ == DecodeMode::VerifyOnly ? verify_file_open_ : file_.is_open();
}

void AttachmentDecoder::ShowProgress() {
  if (mode_ == DecodeMode::Save) file_.ShowProgress(pending_.size());
}

void AttachmentDecoder::WriteDecoded(bool all) {
  const std::size_t ready = all || !decoder_ ? pending_.size() : decoder_->Ready(pending_);
  if (ready == 0 || !FileIsOpen()) return;
  const std::string_view bytes = std::string_view(pending_).substr(0, ready);
  if (mode_ == DecodeMode::Save && !file_.Write(bytes)) {
    FileProblem();
    if (body_ == BodyKind::File) body_ = BodyKind::None;
    uu_.Stop();
    pending_.clear();
    return;
  }
  digest_->FileBytes(bytes);
  file_bytes_ += bytes.size();
  pending_.erase(0, ready);
}

void AttachmentDecoder::FinishFile() {
  WriteDecoded(true);
  if (!FileIsOpen()) return;  // the write failed, and said so
  if (body_ == BodyKind::File && file_data_seen_ && file_bytes_ == 0) {
    // An empty file is sent as no data at all; data that yields nothing is
    // not what the sender meant.
    Problem(file_label_ + ": its data decodes to nothing");
    AbandonFile();
    return;
  }
  digest_->EndFile();
  if (mode_ == DecodeMode::VerifyOnly) {
    verify_file_open_ = false;
    return;
  }
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
  verify_file_open_ = false;
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

// Its sync is the owner's, together with the files'.
void AttachmentDecoder::HandOverSavedText() {
  if (FlushSavedText() && std::fflush(saved_text_) != 0) SavedTextProblem(errno);
}

bool AttachmentDecoder::FlushSavedText() {
  if (saved_text_ == nullptr || saved_text_failed_) return false;
  const bool ok = WriteHandingToDisk(saved_text_, saved_block_, saved_bytes_);
  const int error = errno;
  saved_bytes_ += saved_block_.size();
  saved_block_.clear();
  if (!ok) SavedTextProblem(error);
  return ok;
}

void AttachmentDecoder::SavedTextProblem(int error) {
  saved_text_failed_ = true;
  Problem("Could not write to SaveEmail directory (" + saved_text_path_ + ": " +
              platform::ErrorText(error) + ")",
          true);
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
    DropMultiparts(0);
  } else if (FileIsOpen()) {
    if (mode_ == DecodeMode::Save) Report("-- Attachment " + file_name_ + " incomplete, removed");
    AbandonFile();
  }
  body_ = BodyKind::None;
  decoder_.reset();
  report_reader_.reset();
  HandOverSavedText();
  MessageOutcome outcome;
  outcome.whole = data_complete && problems_ == 0;
  outcome.every_message = every_message_;
  outcome.delivery_report = std::move(delivery_report_);
  delivery_report_.reset();
  if (outcome.whole) {
    outcome.content_digest = digest_->Finish();
    outcome.files = decoded_;
  }
  if (!outcome.whole) {
    for (const auto& name : decoded_) {
      file_.Remove(name);
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
