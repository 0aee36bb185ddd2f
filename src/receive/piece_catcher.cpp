// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/piece_catcher.h"

#include <algorithm>

#include "core/text_utils.h"
#include "receive/mime_text.h"

namespace kestrel::receive {

PieceCatcher::PieceCatcher(const PieceSpool& spool, AttachmentDecoder& decoder)
    : spool_(spool), decoder_(decoder) {}

PieceCatcher::~PieceCatcher() = default;

void PieceCatcher::StartMessage(std::string_view label, DecodeMode mode) {
  label_ = label;
  mode_ = mode;
  state_ = State::Holding;
  held_.clear();
  held_bytes_ = 0;
  continuing_ = false;
  in_content_type_ = false;
  content_type_seen_ = false;
  content_type_.clear();
  notes_.clear();
  file_.reset();
  kept_before_ = false;
  block_.clear();
  problem_.clear();
  every_message_ = false;
  digest_.reset();
}

void PieceCatcher::Line(std::string_view text, bool line_ends) {
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

void PieceCatcher::HeldLine(std::string_view text, bool starts, bool ends) {
  held_.emplace_back(text, ends);
  held_bytes_ += text.size() + 2;
  const std::string_view line = ends ? WithoutStrayCr(text) : text;
  if (starts && line.empty()) {
    Decide();
    return;
  }
  if (starts && !IsBlank(line.front())) {
    if (!LooksLikeHeaderField(line)) {
      Release();  // the header ended without its empty line: no piece
      return;
    }
    const std::string_view name = TrimBlanks(line.substr(0, line.find(':')));
    in_content_type_ = !content_type_seen_ && core::UpperCase(name) == "CONTENT-TYPE";
    content_type_seen_ = content_type_seen_ || in_content_type_;
    if (in_content_type_) content_type_ = line.substr(line.find(':') + 1);
  } else if (in_content_type_ && content_type_.size() < kMaxLogicalHeader) {
    content_type_.append(line.substr(0, kMaxLogicalHeader - content_type_.size()));
  }
  if (held_bytes_ > kMaxHeldHeaderBytes) Release();
}

void PieceCatcher::Release() {
  state_ = State::Passing;
  for (const auto& [text, ends] : held_) decoder_.ScanBodyLine(text, ends);
  held_.clear();
}

void PieceCatcher::EndOfData() {
  if (state_ == State::Holding) Release();
}

// The empty line after the top-level header: a piece, or any other message.
void PieceCatcher::Decide() {
  const PieceReading reading = ReadPieceLabel(content_type_);
  if (!reading.is_piece) {
    Release();
    return;
  }
  const std::string message = "-- Message " + label_ + " ";
  if (!reading.problem.empty()) {
    Note(message + "is a piece that cannot be joined (" + reading.problem + "), taken as it is");
    Release();
    return;
  }
  const std::optional<PieceSet> set = spool_.SetOf(reading.label.id);
  const std::string conflict = set ? Conflict(*set, reading.label) : std::string();
  if (!conflict.empty()) {
    Note(message + "is " + DescribePiece(reading.label) + " that cannot be joined (" + conflict +
         "), taken as it is");
    Release();
    return;
  }
  state_ = State::Piece;
  piece_ = reading.label;
  for (const auto& [text, ends] : held_) decoder_.SaveTextLine(text, ends);
  held_.clear();
  digest_.emplace();
  if (!set) {
    problem_ = "no SHA-256 to name its set with";
    return;
  }
  StartPiece(*set, reading.label);
}

void PieceCatcher::StartPiece(const PieceSet& set, const PieceLabel& label) {
  room_ = kMaxSetBytes - std::min(set.bytes, kMaxSetBytes);
  // The first copy of a piece stays: a copy has nothing to add.
  kept_before_ = set.Holds(label.number);
  if (mode_ != DecodeMode::Save || kept_before_) return;
  file_ = spool_.Create(set, label, problem_);
  every_message_ = !file_;
}

void PieceCatcher::PieceLine(std::string_view text, bool ends) {
  digest_->Update(text);
  if (ends) digest_->Update("\r\n");
  if (!problem_.empty() || !file_) return;
  const std::size_t bytes = text.size() + (ends ? 2 : 0);
  if (bytes > room_) {
    problem_ = "its set would hold more than " + std::to_string(kMaxSetBytes) + " bytes";
    file_.reset();
    return;
  }
  room_ -= bytes;
  block_.append(text);
  if (ends) block_.append("\r\n");
  if (block_.size() >= kDecodeBlock) WriteBlock();
}

void PieceCatcher::WriteBlock() {
  if (file_ && problem_.empty() && !file_->Write(block_)) {
    problem_ = file_->error();
    every_message_ = true;
  }
  block_.clear();
}

void PieceCatcher::Note(std::string text) {
  if (mode_ == DecodeMode::Save) notes_.push_back(std::move(text));
}

void PieceCatcher::Finish(bool complete, MessageOutcome& outcome) {
  outcome.report.insert(outcome.report.begin(), notes_.begin(), notes_.end());
  notes_.clear();
  if (state_ != State::Piece) return;
  WriteBlock();
  if (!complete) {
    file_.reset();  // the piece comes again whole
    return;
  }
  if (file_ && problem_.empty() && !file_->Finish()) {
    problem_ = file_->error();
    every_message_ = true;
  }
  file_.reset();
  const std::string message = "-- Message " + label_ + " is " + DescribePiece(piece_);
  if (!problem_.empty()) {
    outcome.whole = false;
    outcome.every_message = outcome.every_message || every_message_;
    outcome.content_digest.clear();
    if (mode_ == DecodeMode::Save) {
      outcome.report.push_back(message + ", could not be kept (" + problem_ + ")");
    }
    return;
  }
  outcome.content_digest = outcome.whole ? digest_->FinishHex().value_or("") : std::string();
  if (mode_ == DecodeMode::Save && outcome.whole) {
    outcome.report.push_back(
        message + (kept_before_ ? ", kept before: a copy" : ", kept until the rest arrive"));
  }
}

}  // namespace kestrel::receive
