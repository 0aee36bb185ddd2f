// SPDX-License-Identifier: GPL-2.0-or-later
// The code flow with PKCE: the sysop opens the provider's login page in a
// browser on this computer; the provider sends the browser back to the
// program's listener on 127.0.0.1 with a code, which is exchanged for the
// tokens together with the verifier only the program knows.
#include <chrono>

#include "oauth/login_flows.h"
#include "oauth/loopback_redirect.h"
#include "oauth/pkce.h"

namespace kestrel::oauth {

namespace {

// RFC 7636 4.1: 32 random bytes make a verifier of 43 characters.
constexpr std::size_t kVerifierBytes = 32;
constexpr std::size_t kStateBytes = 16;
// How long the browser login may take.
constexpr auto kBrowserWait = std::chrono::minutes(10);

Granted Problem(std::string text) {
  return {std::nullopt, std::move(text)};
}

}  // namespace

Granted CodeFlow(const TokenClient& client, Account account, const std::string& user,
                 const Say& say, const std::atomic<bool>& aborted, const OpenAddress& open) {
  if (client.settings.authorization_url.empty())
    return Problem("** No OAUTHAUTHURL defined: the provider's login page is unknown");
  LoopbackListener listener;
  if (!listener.listening()) return Problem("** Cannot listen on 127.0.0.1 for the login's answer");
  const std::optional<std::string> verifier = RandomUrlSafe(kVerifierBytes);
  const std::optional<std::string> state = RandomUrlSafe(kStateBytes);
  const std::optional<std::string> challenge =
      verifier ? S256Challenge(*verifier) : std::optional<std::string>();
  if (!verifier || !state || !challenge) return Problem("** No randomness for the login");
  const std::string redirect_uri = listener.RedirectUri();
  FormFields query = {{"response_type", "code"},
                      {"client_id", client.settings.client_id},
                      {"redirect_uri", redirect_uri},
                      {"scope", client.settings.scope},
                      {"state", *state},
                      {"code_challenge", *challenge},
                      {"code_challenge_method", "S256"}};
  if (!user.empty()) query.emplace_back("login_hint", user);
  if (client.settings.offline_by_parameter) {
    query.emplace_back("access_type", "offline");
    // Asked again, the provider hands out a refresh token again.
    query.emplace_back("prompt", "consent");
  }
  const std::string& page = client.settings.authorization_url;
  const char separator = page.find('?') == std::string::npos ? '?' : '&';
  say("To log in the " + std::string(AccountLabel(account)) + " account " + user +
      ", open this address in a browser on this computer:");
  const std::string address = page + separator + EncodeForm(query);
  say(address);
  if (open) open(address);
  const std::optional<RedirectAnswer> answer =
      listener.Await(*state, std::chrono::steady_clock::now() + kBrowserWait, aborted);
  if (!answer)
    return Problem(aborted ? "-- Login stopped" : "** No answer from the browser in time");
  if (answer->state != *state) {
    return Problem(
        "** The login's answer does not belong to it (its state differs): nothing saved");
  }
  if (!answer->error.empty()) {
    return Problem("** The login was refused at the provider (" + answer->error + ")");
  }
  const TokenOutcome outcome = RequestTokens(client, {{"grant_type", "authorization_code"},
                                                      {"code", answer->code},
                                                      {"redirect_uri", redirect_uri},
                                                      {"code_verifier", *verifier}});
  if (outcome.kind == TokenOutcome::Kind::Granted) return {outcome.reply, {}};
  if (outcome.kind == TokenOutcome::Kind::Refused)
    return Problem("** The provider refused the code: " + DescribeRefusal(outcome.reply));
  return Problem("** The code could not be exchanged: " + outcome.failure);
}

}  // namespace kestrel::oauth
