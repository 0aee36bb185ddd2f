// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The messages that are pieces of a split message, caught as their lines
// arrive: the top-level header is held until it ends; a piece's data after it
// goes into the spool instead of the scanner, and only its header into the
// saved text; any other message passes on to the scanner unchanged. The
// fingerprint of a piece is that of its data, the same in both modes. A piece
// belongs to the set of its id and its sender (the From: address).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mime/partial_label.h"
#include "net/sha256.h"
#include "receive/intake/attachment_decoder.h"
#include "receive/partial/partial_spool.h"

namespace kestrel::receive {

// A top-level header longer than this is not held: its message is no piece.
inline constexpr std::size_t kMaxHeldHeaderBytes = 256 * 1024;

class PartialCatcher {
 public:
  PartialCatcher(const PartialSpool& spool, AttachmentDecoder& decoder);
  ~PartialCatcher();
  PartialCatcher(const PartialCatcher&) = delete;
  PartialCatcher& operator=(const PartialCatcher&) = delete;

  void StartMessage(std::string_view label, DecodeMode mode);
  void Line(std::string_view text, bool line_ends);
  // The data ended or broke off: a header still held goes to the scanner.
  void EndOfData();
  // The scanner's outcome becomes a piece's own: whole once its data is safe
  // in the spool (or was there before); its lines added to the report.
  void Finish(bool complete, MessageOutcome& outcome);
  // The piece disagreed with a set of its id and was kept apart: the sysop
  // must hear of it.
  [[nodiscard]] bool conflicted() const { return conflicted_; }

 private:
  enum class State { Holding, Passing, Piece };
  enum class Field { Other, ContentType, From };

  void HeldLine(std::string_view text, bool starts, bool ends);
  void Release();
  void Decide();
  void PieceLine(std::string_view text, bool ends);
  void WriteBlock();
  void Note(std::string text);
  [[nodiscard]] Placement Keep(const std::optional<std::string>& digest);

  const PartialSpool& spool_;
  AttachmentDecoder& decoder_;
  std::string label_;
  DecodeMode mode_ = DecodeMode::Save;
  State state_ = State::Holding;
  std::vector<std::pair<std::string, bool>> held_;  // pieces of header lines
  std::size_t held_bytes_ = 0;
  bool continuing_ = false;  // the last piece did not end its line
  Field field_ = Field::Other;
  bool content_type_seen_ = false;
  bool from_seen_ = false;
  std::string content_type_;
  std::string from_;
  std::vector<std::string> notes_;
  // Of a piece.
  mime::PieceLabel piece_;
  std::string sender_;
  std::unique_ptr<PieceFile> file_;
  std::uint64_t room_ = 0;  // bytes the spool's bounds still let it take
  std::string bound_;       // the bound it meets then
  bool over_bound_ = false;
  std::string block_;    // data not yet written
  std::string problem_;  // why it cannot be kept
  bool conflicted_ = false;
  std::optional<net::Sha256> digest_;
};

}  // namespace kestrel::receive
