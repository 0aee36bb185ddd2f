// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/partial/partial_catcher.h"

#include <algorithm>

#include "mime/ascii_text.h"
#include "mime/mime_text.h"
#include "mime/sender_address.h"

namespace kestrel::receive {

PartialCatcher::PartialCatcher(const PartialSpool& spool, AttachmentDecoder& decoder)
    : spool_(spool), decoder_(decoder) {}

PartialCatcher::~PartialCatcher() = default;

void PartialCatcher::StartMessage(std::string_view label, DecodeMode mode) {
  label_ = label;
  mode_ = mode;
  state_ = State::Holding;
  held_.clear();
  held_bytes_ = 0;
  continuing_ = false;
  field_ = Field::Other;
  content_type_seen_ = false;
  from_seen_ = false;
  content_type_.clear();
  from_.clear();
  notes_.clear();
  sender_.clear();
  file_.reset();
  room_ = 0;
  bound_.clear();
  over_bound_ = false;
  block_.clear();
  problem_.clear();
  conflicted_ = false;
  digest_.reset();
}

void PartialCatcher::Line(std::string_view text, bool line_ends) {
  const bool starts = !continuing_;
  continuing_ = !line_ends;
  switch (state_) {
    case State::Holding:
      HeldLine(text, starts, line_ends);
      break;
    case State::Passing:
      decoder_.ScanBodyLine(text, line_ends);
      break;
    case State::Piece:
      PieceLine(text, line_ends);
      break;
  }
}

void PartialCatcher::HeldLine(std::string_view text, bool starts, bool ends) {
  held_.emplace_back(text, ends);
  held_bytes_ += text.size() + 2;
  const std::string_view line = ends ? mime::WithoutStrayCr(text) : text;
  if (starts && line.empty()) {
    Decide();
    return;
  }
  std::string* value = field_ == Field::ContentType ? &content_type_
                       : field_ == Field::From      ? &from_
                                                    : nullptr;
  if (starts && !mime::IsBlank(line.front())) {
    if (!mime::LooksLikeHeaderField(line)) {
      Release();  // the header ended without its empty line: no piece
      return;
    }
    // The first of each field counts, as the filters and the scanner take it.
    const std::string name = mime::UpperCase(mime::TrimBlanks(line.substr(0, line.find(':'))));
    field_ = !content_type_seen_ && name == "CONTENT-TYPE" ? Field::ContentType
             : !from_seen_ && name == "FROM"               ? Field::From
                                                           : Field::Other;
    content_type_seen_ = content_type_seen_ || field_ == Field::ContentType;
    from_seen_ = from_seen_ || field_ == Field::From;
    value = field_ == Field::ContentType ? &content_type_
            : field_ == Field::From      ? &from_
                                         : nullptr;
    if (value) *value = line.substr(line.find(':') + 1);
  } else if (value && value->size() < kMaxLogicalHeader) {
    value->append(line.substr(0, kMaxLogicalHeader - value->size()));
  }
  if (held_bytes_ > kMaxHeldHeaderBytes) Release();
}

void PartialCatcher::Release() {
  state_ = State::Passing;
  for (const auto& [text, ends] : held_) decoder_.ScanBodyLine(text, ends);
  held_.clear();
}

void PartialCatcher::EndOfData() {
  if (state_ == State::Holding) Release();
}

// The empty line after the top-level header: a piece, or any other message.
void PartialCatcher::Decide() {
  const mime::PieceReading reading = mime::ReadPieceLabel(content_type_);
  if (!reading.is_piece) {
    Release();
    return;
  }
  if (!reading.problem.empty()) {
    Note("-- Message " + label_ + " is a piece that cannot be joined (" + reading.problem +
         "), taken as it is");
    Release();
    return;
  }
  state_ = State::Piece;
  piece_ = reading.label;
  sender_ = mime::SenderAddress(from_);
  for (const auto& [text, ends] : held_) decoder_.SaveTextLine(text, ends);
  held_.clear();
  digest_.emplace();
  if (mode_ != DecodeMode::Save) return;
  room_ = spool_.Room(spool_.Usage(spool_.Sets(), sender_), bound_);
  file_ = spool_.Begin(problem_);
}

void PartialCatcher::PieceLine(std::string_view text, bool ends) {
  digest_->Update(text);
  if (ends) digest_->Update("\r\n");
  if (!problem_.empty() || !file_) return;
  const std::size_t bytes = text.size() + (ends ? 2 : 0);
  if (bytes > room_) {
    // Read on for its fingerprint: a copy of a piece kept before still goes.
    problem_ = bound_;
    over_bound_ = true;
    file_.reset();
    return;
  }
  room_ -= bytes;
  block_.append(text);
  if (ends) block_.append("\r\n");
  if (block_.size() >= kDecodeBlock) WriteBlock();
}

void PartialCatcher::WriteBlock() {
  if (file_ && problem_.empty() && !file_->Write(block_)) problem_ = file_->error();
  block_.clear();
}

void PartialCatcher::Note(std::string text) {
  if (mode_ == DecodeMode::Save) notes_.push_back(std::move(text));
}

// Where the whole piece goes; a spool that fails costs this piece alone, never
// the messages after it.
Placement PartialCatcher::Keep(const std::optional<std::string>& digest) {
  if (!digest) return {Placing::Failed, "no SHA-256 to compare it with"};
  if (over_bound_ && spool_.HoldsCopy(spool_.Sets(), sender_, piece_, *digest)) {
    return {Placing::Copy, {}};
  }
  if (problem_.empty() && file_ && !file_->Finish()) problem_ = file_->error();
  if (!problem_.empty()) return {Placing::Failed, problem_};
  return spool_.Place(*file_, sender_, piece_, *digest);
}

void PartialCatcher::Finish(bool complete, MessageOutcome& outcome) {
  outcome.report.insert(outcome.report.begin(), notes_.begin(), notes_.end());
  notes_.clear();
  if (state_ != State::Piece) return;
  WriteBlock();
  if (!complete) {
    file_.reset();  // the piece comes again whole
    return;
  }
  const std::optional<std::string> digest = digest_->FinishHex();
  if (mode_ != DecodeMode::Save) {
    outcome.content_digest = outcome.whole ? digest.value_or("") : std::string();
    return;
  }
  const Placement placement = Keep(digest);
  file_.reset();
  const std::string message = "-- Message " + label_ + " is " + mime::DescribePiece(piece_);
  if (placement.how == Placing::Failed) {
    outcome.whole = false;
    outcome.content_digest.clear();
    outcome.report.push_back(message + ", could not be kept (" + placement.reason + ")");
    return;
  }
  outcome.content_digest = outcome.whole ? digest.value_or("") : std::string();
  if (!outcome.whole) return;
  switch (placement.how) {
    case Placing::Copy:
      outcome.report.push_back(message + ", kept before: a copy");
      break;
    case Placing::Kept:
      outcome.report.push_back(message + ", kept until the rest arrive");
      break;
    case Placing::Apart:
      // Two lines: a long id would cut the reason off one.
      conflicted_ = true;
      outcome.report.push_back(message + ", kept in a set of its own");
      outcome.report.push_back("-- Message " + label_ + " from " +
                               mime::Printable(sender_.empty() ? "an unknown sender" : sender_) +
                               " disagrees: " + placement.reason);
      break;
    case Placing::Failed:
      break;
  }
}

}  // namespace kestrel::receive
