// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/part_parser.h"

#include <utility>

#include "mime/ascii_text.h"
#include "mime/mime_parameters.h"
#include "mime/mime_text.h"

namespace kestrel::mime {
namespace {

// multipart/report of a delivery status notification (RFC 3464, RFC 6533).
bool IsDeliveryReport(const std::string& media_type, const MimeField& type) {
  if (media_type != "multipart/report") return false;
  const std::string report_type = UpperCase(RawParameter(type, "report-type").value_or(""));
  return report_type == "DELIVERY-STATUS" || report_type == "GLOBAL-DELIVERY-STATUS";
}

void AppendBounded(std::string& field, std::string_view piece) {
  if (field.size() < kMaxLogicalHeader) {
    field.append(piece.substr(0, kMaxLogicalHeader - field.size()));
  }
}

}  // namespace

PartParser::PartParser(PartSink& sink)
    : sink_(sink), uu_([&sink](std::string_view name) { return sink.SafeName(name); }) {}

PartParser::~PartParser() = default;

void PartParser::StartMessage() {
  if (file_open_) AbandonFile();
  continuing_line_ = false;
  multiparts_.clear();
  entity_ = Entity{};
  entity_.number = "1";
  body_ = BodyKind::None;
  decoder_.reset();
  pending_.clear();
  top_header_done_ = false;
  top_field_seen_ = false;
  report_reader_.reset();
  delivery_report_.reset();
}

void PartParser::Line(std::string_view line, bool line_ends) {
  const bool starts = !continuing_line_;
  continuing_line_ = !line_ends;
  const bool in_body = top_header_done_;
  const bool saved = Route(line, starts, line_ends);
  // The empty line that ends the top-level header is no part of the content.
  const bool content = in_body || (top_header_done_ && !(starts && WithoutStrayCr(line).empty()));
  sink_.MessageLine(line, line_ends, content, saved);
}

// A delimiter line ends a part, wherever it comes; any other line goes to
// the entity. False when the line stays out of the saved text.
bool PartParser::Route(std::string_view line, bool starts, bool ends) {
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

bool PartParser::HeaderLine(std::string_view line, bool starts, bool ends) {
  const std::string_view text = ends ? WithoutStrayCr(line) : line;
  if (!starts || (!text.empty() && IsBlank(text.front()))) {
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
  if (LooksLikeHeaderField(text)) {
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

void PartParser::TakeField() {
  const std::string_view field = entity_.field;
  const auto colon = field.find(':');
  if (colon != std::string_view::npos) {
    const std::string name = UpperCase(TrimBlanks(field.substr(0, colon)));
    std::string* value = name == "CONTENT-TYPE"                ? &entity_.content_type
                         : name == "CONTENT-DISPOSITION"       ? &entity_.disposition
                         : name == "CONTENT-TRANSFER-ENCODING" ? &entity_.encoding
                                                               : nullptr;
    // The first of a field counts, as mail clients read it.
    if (value && value->empty()) *value = TrimWhitespace(field.substr(colon + 1));
    if (entity_.returned && name == "MESSAGE-ID" && delivery_report_->original_message_id.empty()) {
      delivery_report_->original_message_id = ReportField(TrimWhitespace(field.substr(colon + 1)));
    }
  }
  entity_.field.clear();
}

void PartParser::EndHeader() {
  TakeField();
  top_header_done_ = true;
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
      const std::optional<std::string> boundary = RawParameter(type, "boundary");
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
  const MimeField disposition = ParseMimeField(entity_.disposition);
  std::optional<std::string> name = DecodedParameter(disposition, "filename");
  if (!name || name->empty()) name = DecodedParameter(type, "name");
  if (name && name->empty()) name.reset();
  const bool is_file = name || disposition.value == "attachment" || !StartsWith(media, "text/");
  StartLeaf(media, encoding, is_file, name);
}

// Data that does not begin with a head is not the message the head showed
// (or no message at all): what it holds cannot be told.
void PartParser::NoHead(std::string_view first_line) {
  Problem("The message data begins with no head: \"" +
          Printable(first_line.substr(0, kMaxQuotedLine)) + "\"");
}

void PartParser::StartLeaf(const std::string& media_type, TransferEncoding encoding, bool is_file,
                           const std::optional<std::string>& name) {
  body_ = BodyKind::None;
  file_data_seen_ = false;
  file_bytes_ = 0;
  file_label_ = "Part " + entity_.number + (name ? " (" + Printable(*name) + ")" : "");
  if (encoding == TransferEncoding::Uuencode ||
      (!is_file && media_type == "text/plain" && encoding == TransferEncoding::Identity)) {
    body_ = BodyKind::UuText;
    uu_.StartPart(name.value_or(""), encoding == TransferEncoding::Uuencode);
    return;
  }
  if (!is_file) return;
  if (encoding == TransferEncoding::Unknown) {
    Problem(file_label_ + ": unknown transfer encoding " + Printable(entity_.encoding));
    return;
  }
  FilePart part{entity_.number, file_label_, media_type, {}};
  if (name) {
    part.file_name = sink_.SafeName(*name);
    if (part.file_name.empty()) {
      Problem(file_label_ + ": no usable file name can be made of it");
      return;
    }
  }
  decoder_ = MakeContentDecoder(encoding);
  pending_.clear();
  if (OpenFile(part)) body_ = BodyKind::File;
}

// Of a report only its machine-readable parts are read, whatever their encoding.
void PartParser::StartReportLeaf(const std::string& media_type, TransferEncoding encoding) {
  body_ = BodyKind::None;
  const bool status =
      media_type == "message/delivery-status" || media_type == "message/global-delivery-status";
  const bool headers =
      media_type == "text/rfc822-headers" || media_type == "message/global-headers";
  if (!status && !headers) return;
  decoder_ = MakeContentDecoder(encoding);
  if (!decoder_) return;
  pending_.clear();
  report_reader_.emplace(*delivery_report_, status ? ReportPartReader::Kind::DeliveryStatus
                                                   : ReportPartReader::Kind::ReturnedHeaders);
  body_ = BodyKind::ReportPart;
}

void PartParser::BodyLine(std::string_view line, bool starts, bool ends) {
  switch (body_) {
    case BodyKind::File:
      file_data_seen_ = file_data_seen_ || !TrimWhitespace(line).empty();
      decoder_->Feed(line, ends, pending_);
      if (pending_.size() >= kDecodeBlock) HandOver(false);
      sink_.FileProgress(pending_.size());
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
void PartParser::PassReportLines(bool all) {
  const std::string_view ready =
      std::string_view(pending_).substr(0, all ? pending_.size() : decoder_->Ready(pending_));
  std::size_t at = 0;
  for (std::size_t end; (end = ready.find('\n', at)) != std::string_view::npos; at = end + 1) {
    report_reader_->Line(WithoutStrayCr(ready.substr(at, end - at)));
  }
  pending_.erase(0, at);
  if (all || pending_.size() >= kMaxLogicalHeader) {
    if (!pending_.empty()) report_reader_->Line(pending_);
    pending_.clear();
  }
  if (all) report_reader_->End();
}

void PartParser::UuTextLine(std::string_view line, bool whole_line) {
  const UuScan scan = uu_.Line(line, whole_line, pending_);
  if (scan == UuScan::Text) return;
  if (scan == UuScan::Begins || scan == UuScan::Unusable) {
    file_label_ = "Part " + entity_.number + " (" + Printable(uu_.name()) + ")";
    if (scan == UuScan::Unusable) Problem(file_label_ + ": no usable file name can be made of it");
    return;
  }
  if (uu_.opens_file() && !OpenFile({entity_.number, file_label_, "text/plain", uu_.file_name()})) {
    uu_.Stop();
    pending_.clear();
    return;
  }
  switch (scan) {
    case UuScan::Data:
      if (pending_.size() >= kDecodeBlock) HandOver(true);
      sink_.FileProgress(pending_.size());
      break;
    case UuScan::End:
      FinishFile();
      break;
    default:
      Problem(file_label_ + ": the uuencoded data breaks off");
      AbandonFile();
      break;
  }
}

int PartParser::DelimiterLevel(std::string_view line, bool& closing) const {
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
    if (TrimWhitespace(tail).empty()) return level;
  }
  return -1;
}

void PartParser::Delimiter(int level, bool closing) {
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
void PartParser::DropMultiparts(std::size_t kept) {
  while (multiparts_.size() > kept) {
    const Multipart& multipart = multiparts_.back();
    if (!multipart.delimited && !multipart.report) {
      Problem("Part " + multipart.number + ": its boundary " +
              Printable(multipart.boundary.substr(0, kMaxQuotedLine)) +
              " never occurs, its parts unknown");
    }
    multiparts_.pop_back();
  }
}

void PartParser::FinishBody(bool before_delimiter) {
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

bool PartParser::OpenFile(const FilePart& part) {
  file_open_ = sink_.FileBegins(part);
  return file_open_;
}

void PartParser::HandOver(bool all) {
  const std::size_t ready = all || !decoder_ ? pending_.size() : decoder_->Ready(pending_);
  if (ready == 0 || !file_open_) return;
  const std::string_view bytes = std::string_view(pending_).substr(0, ready);
  if (!sink_.FileData(bytes)) {
    file_open_ = false;
    if (body_ == BodyKind::File) body_ = BodyKind::None;
    uu_.Stop();
    pending_.clear();
    return;
  }
  file_bytes_ += bytes.size();
  pending_.erase(0, ready);
}

void PartParser::FinishFile() {
  HandOver(true);
  if (!file_open_) return;  // the sink could not take the data, and said so
  if (body_ == BodyKind::File && file_data_seen_ && file_bytes_ == 0) {
    // An empty file is sent as no data at all; data that yields nothing is
    // not what the sender meant.
    Problem(file_label_ + ": its data decodes to nothing");
    AbandonFile();
    return;
  }
  file_open_ = false;
  sink_.FileEnds();
}

void PartParser::AbandonFile() {
  if (file_open_) sink_.FileAbandoned();
  file_open_ = false;
  pending_.clear();
}

void PartParser::EndMessage(bool data_complete) {
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
  } else {
    AbandonFile();
  }
  body_ = BodyKind::None;
  decoder_.reset();
  report_reader_.reset();
  if (delivery_report_) sink_.DeliveryReportRead(std::move(*delivery_report_));
  delivery_report_.reset();
  continuing_line_ = false;
}

}  // namespace kestrel::mime
