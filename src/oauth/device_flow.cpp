// SPDX-License-Identifier: GPL-2.0-or-later
// The device flow (RFC 8628): the provider shows its login page on any
// device; the program asks the token endpoint, at the pace the provider
// sets, until the sysop has finished there.
#include <algorithm>
#include <chrono>
#include <thread>

#include "oauth/login_flows.h"

namespace kestrel::oauth {

namespace {

using Clock = std::chrono::steady_clock;

// RFC 8628 3.2: the pause between checks when the provider names none, and
// what each slow_down adds to it.
constexpr std::int64_t kDefaultIntervalSeconds = 5;
constexpr std::int64_t kSlowDownSeconds = 5;
// A provider that names no end for its code, or a very late one: the wait
// ends after this anyway.
constexpr std::int64_t kMaxWaitSeconds = 1800;
// A longer pause asked for would outlast any code's patience.
constexpr std::int64_t kMaxIntervalSeconds = 60;
constexpr auto kSlice = std::chrono::milliseconds(100);

Granted Problem(std::string text) {
  return {std::nullopt, std::move(text)};
}

// False when stopped meanwhile.
bool Pause(std::int64_t seconds, const std::atomic<bool>& aborted) {
  const auto until = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < until) {
    if (aborted) return false;
    std::this_thread::sleep_for(kSlice);
  }
  return !aborted;
}

}  // namespace

Granted DeviceFlow(const TokenClient& client, Account account, const std::string& user,
                   const Say& say, const std::atomic<bool>& aborted, const OpenAddress& open) {
  FormFields request = {{"client_id", client.settings.client_id}};
  if (!client.client_secret.empty()) request.emplace_back("client_secret", client.client_secret);
  if (!client.settings.scope.empty()) request.emplace_back("scope", client.settings.scope);
  const HttpsReply reply = PostForm(client.settings.device_url, request, client.limits);
  if (reply.status == 0) return Problem("** The device login could not start: " + reply.failure);
  const std::optional<DeviceGrant> grant = ParseDeviceGrant(reply.body);
  if (!grant) {
    const std::optional<TokenReply> refusal = ParseTokenReply(reply.body);
    return Problem("** The provider refused the device login (" +
                   (refusal && !refusal->error.empty() ? DescribeRefusal(*refusal)
                                                       : "HTTP " + std::to_string(reply.status)) +
                   ")");
  }
  const std::string label(AccountLabel(account));
  const std::string again = "run kestrel --login " + std::string(AccountWord(account)) + " again";
  say("To log in the " + label + " account " + user + ", open " + grant->verification_uri +
      " and enter the code " + grant->user_code);
  if (open) open(grant->verification_uri);
  std::int64_t interval = grant->interval > 0 ? std::min(grant->interval, kMaxIntervalSeconds)
                                              : kDefaultIntervalSeconds;
  const std::int64_t lifetime =
      grant->expires_in > 0 ? std::min(grant->expires_in, kMaxWaitSeconds) : kMaxWaitSeconds;
  const auto deadline = Clock::now() + std::chrono::seconds(lifetime);
  for (;;) {
    if (!Pause(interval, aborted)) return Problem("-- Login stopped");
    if (Clock::now() > deadline) {
      return Problem("** The code expired before the login was finished: " + again);
    }
    const TokenOutcome outcome =
        RequestTokens(client, {{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                               {"device_code", grant->device_code}});
    if (outcome.kind == TokenOutcome::Kind::Granted) return {outcome.reply, {}};
    if (outcome.kind == TokenOutcome::Kind::Failed)
      return Problem("** The login check failed: " + outcome.failure);
    const std::string& error = outcome.reply.error;
    if (error == "authorization_pending") continue;
    if (error == "slow_down") {
      interval = std::min(interval + kSlowDownSeconds, kMaxIntervalSeconds);
      say("-- The provider asks for slower checks: every " + std::to_string(interval) +
          " seconds now");
      continue;
    }
    if (error == "expired_token") {
      return Problem("** The code expired before the login was finished: " + again);
    }
    if (error == "access_denied") {
      return Problem("** The login was refused at the provider (access_denied)");
    }
    return Problem("** The login failed: " + DescribeRefusal(outcome.reply));
  }
}

}  // namespace kestrel::oauth
