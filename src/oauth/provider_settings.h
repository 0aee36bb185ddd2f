// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Where an account's tokens come from: the provider's endpoints and the scope
// of the account's protocol, each replaced by its OAUTH... key when that is
// set, and the application registered by the sysop.

#include <string>

#include "config/configuration.h"
#include "oauth/account.h"

namespace kestrel::oauth {

struct OAuthSettings {
  std::string authorization_url;  // the browser's login page (code flow)
  std::string device_url;         // empty: the provider has no device flow for mail
  std::string token_url;
  std::string scope;  // blank-separated, offline access included where it is a scope
  std::string client_id;
  // The provider hands out a refresh token only when the login page is asked
  // for offline access (access_type=offline) rather than by a scope.
  bool offline_by_parameter = false;
};

// The account's settings; meaningful only when it names a provider.
[[nodiscard]] OAuthSettings SettingsFor(const config::Configuration& configuration,
                                        Account account);

}  // namespace kestrel::oauth
