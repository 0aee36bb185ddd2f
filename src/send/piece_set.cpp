// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/piece_set.h"

#include <utility>

#include "send/message_layout.h"

namespace kestrel::send {

namespace {

// A message is kept below the limit by this fraction of it.
constexpr std::uint64_t kHeadroomDivisor = 16;
// Piece numbers stay below this many digits.
constexpr std::uint64_t kMaxPieces = 999999;

}  // namespace

std::uint64_t MessageLimit(const SizeOffer& offer, const config::Configuration& configuration) {
  std::uint64_t limit = configuration.MAXMESSAGESIZE;
  if (offer.announced && offer.limit > 0 && (limit == 0 || offer.limit < limit))
    limit = offer.limit;
  return limit;
}

std::uint64_t MessageTarget(std::uint64_t limit) {
  return limit - limit / kHeadroomDivisor;
}

PartialSet::PartialSet(const config::RedirectEntry& redirect,
                       const config::Configuration& configuration, const MessageStamp& stamp,
                       std::string subject)
    : redirect_(redirect),
      configuration_(configuration),
      stamp_(stamp),
      subject_(std::move(subject)),
      set_id_(PieceSetId(stamp.message_id)) {}

LineCollector PartialSet::Head(std::uint64_t number, std::uint64_t total) const {
  LineCollector head;
  SendPieceHead(head, {set_id_, number, total}, redirect_, configuration_,
                {stamp_.date, PieceMessageId(stamp_.message_id, number)},
                subject_ + " (" + std::to_string(number) + "/" + std::to_string(total) + ")");
  return head;
}

std::vector<LineRange> PartialSet::Cut(const LaidOutMessage& laid, std::uint64_t target) const {
  // Every head is counted as large as the largest one can be.
  const std::uint64_t bound = Head(kMaxPieces, kMaxPieces).Bytes();
  std::vector<LineRange> pieces =
      bound < target ? CutIntoPieces(laid, target - bound) : std::vector<LineRange>();
  if (pieces.size() > kMaxPieces) pieces.clear();
  return pieces;
}

}  // namespace kestrel::send
