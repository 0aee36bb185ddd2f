// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// What a login came to: in, with what the server offers then; refused, with
// the refusal logged (and noted as a shortfall where it counts as one), so
// that the caller still ends the conversation politely; or failed, the
// session aborted with the reason.

#include <optional>
#include <utility>
#include <variant>

#include "net/step_result.h"

namespace kestrel::net {

template <typename Offer = std::monostate>
class [[nodiscard]] LoginResult {
 public:
  [[nodiscard]] static LoginResult In(Offer offer = {}) {
    LoginResult result;
    result.offer_ = std::move(offer);
    return result;
  }
  [[nodiscard]] static LoginResult Refused() { return LoginResult(); }
  [[nodiscard]] static LoginResult Failed(StepResult failure) {
    LoginResult result;
    result.step_ = std::move(failure);
    return result;
  }
  // In with `offer` when `step` went through; else failed with it.
  [[nodiscard]] static LoginResult InAfter(StepResult step, Offer offer = {}) {
    return step.ok() ? In(std::move(offer)) : Failed(std::move(step));
  }
  // What `other` came to, with `offer` when it was in.
  template <typename Other>
  [[nodiscard]] static LoginResult Like(const LoginResult<Other>& other, Offer offer) {
    if (other.in()) return In(std::move(offer));
    return other.failed() ? Failed(other.step()) : Refused();
  }

  [[nodiscard]] bool in() const { return offer_.has_value(); }
  [[nodiscard]] bool failed() const { return !step_.ok(); }
  // Nothing unless in.
  [[nodiscard]] const std::optional<Offer>& offer() const { return offer_; }
  // Failed when the session was aborted, with its reason.
  [[nodiscard]] const StepResult& step() const { return step_; }

 private:
  LoginResult() = default;

  std::optional<Offer> offer_;
  StepResult step_ = StepResult::Ok();
};

}  // namespace kestrel::net
