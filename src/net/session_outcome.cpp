// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/session_outcome.h"

#include <utility>

namespace kestrel::net {

Permanence PermanenceOfReply(std::string_view reply) {
  if (!reply.empty() && reply.front() == '5') return Permanence::Permanent;
  if (reply.find("[SYS/PERM]") != std::string_view::npos) return Permanence::Permanent;
  return Permanence::Transient;
}

SessionOutcome::Kind SessionOutcome::kind() const {
  if (aborted_) return Kind::Aborted;
  return incomplete() ? Kind::Incomplete : Kind::Done;
}

void SessionOutcome::Add(Shortfall shortfall) {
  ++shortfall_count_;
  if (shortfalls_.size() < kMaxShortfalls) shortfalls_.push_back(std::move(shortfall));
}

void SessionOutcome::SetAborted(std::string_view reason) {
  if (aborted_) return;
  aborted_ = true;
  abort_reason_ = reason;
}

}  // namespace kestrel::net
