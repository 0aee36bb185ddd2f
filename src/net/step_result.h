// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// What one step of a dialogue came to: done, or failed with its reason, made
// where the failure happened. A failed step has aborted its session; the
// caller passes the result on instead of asking the session afterwards.

#include <string>
#include <string_view>
#include <utility>

#include "net/net_session.h"

namespace kestrel::net {

class [[nodiscard]] StepResult {
 public:
  [[nodiscard]] static StepResult Ok() { return StepResult(); }
  [[nodiscard]] static StepResult Failed(std::string reason) {
    return StepResult(std::move(reason));
  }
  // What the session says after a step below the dialogue (a read, a
  // send): failed when it was aborted, with the session's reason.
  [[nodiscard]] static StepResult Of(const NetSession& session);

  [[nodiscard]] bool ok() const { return ok_; }
  // Empty when ok.
  [[nodiscard]] const std::string& reason() const { return reason_; }

 private:
  StepResult() = default;
  explicit StepResult(std::string reason) : ok_(false), reason_(std::move(reason)) {}

  bool ok_ = true;
  std::string reason_;
};

// Logs `line` and aborts the session with it as the reason (LogAndAbort);
// the failed result carries the same reason.
[[nodiscard]] StepResult FailStep(NetSession& session, std::string_view line);

}  // namespace kestrel::net
