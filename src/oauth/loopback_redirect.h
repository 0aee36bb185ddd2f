// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The end of a browser login (RFC 8252 7.3): a listener on 127.0.0.1 that
// takes the provider's redirect, one GET request at a time, each bounded in
// size and time, and answers the browser with a short page.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/unique_fd.h"

namespace kestrel::oauth {

// What the redirect carried in its query.
struct RedirectAnswer {
  std::string code;
  std::string state;
  std::string error;  // the provider's refusal ("access_denied")
};

class LoopbackListener {
 public:
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  // False when no socket could be opened on 127.0.0.1.
  [[nodiscard]] bool listening() const { return socket_.valid(); }
  // "http://127.0.0.1:<port>/"
  [[nodiscard]] std::string RedirectUri() const;

  // Waits until `deadline` (or `aborted`) for a request to "/" that carries
  // a code or an error; other requests (a browser's icon) get 404. The
  // browser is told whether the login goes on: `expected_state` must match.
  [[nodiscard]] std::optional<RedirectAnswer> Await(const std::string& expected_state,
                                                    std::chrono::steady_clock::time_point deadline,
                                                    const std::atomic<bool>& aborted);

 private:
  platform::UniqueFd socket_;
  std::uint16_t port_ = 0;
};

}  // namespace kestrel::oauth
