// SPDX-License-Identifier: GPL-2.0-or-later
#include "oauth/provider_settings.h"

namespace kestrel::oauth {

namespace {

using config::OAuthProvider;

constexpr const char* kMicrosoftBase = "https://login.microsoftonline.com/common/oauth2/v2.0/";

OAuthSettings ProviderDefaults(OAuthProvider provider, Account account) {
  OAuthSettings settings;
  if (provider == OAuthProvider::Microsoft) {
    settings.authorization_url = std::string(kMicrosoftBase) + "authorize";
    settings.device_url = std::string(kMicrosoftBase) + "devicecode";
    settings.token_url = std::string(kMicrosoftBase) + "token";
    const char* scope = account == Account::Smtp ? "https://outlook.office.com/SMTP.Send"
                        : account == Account::Pop3
                            ? "https://outlook.office.com/POP.AccessAsUser.All"
                            : "https://outlook.office.com/IMAP.AccessAsUser.All";
    settings.scope = std::string(scope) + " offline_access";
  } else if (provider == OAuthProvider::Google) {
    // Google's device flow does not grant the mail scope: the code flow only.
    settings.authorization_url = "https://accounts.google.com/o/oauth2/v2/auth";
    settings.token_url = "https://oauth2.googleapis.com/token";
    settings.scope = "https://mail.google.com/";
    settings.offline_by_parameter = true;
  }
  return settings;
}

void Override(std::string& value, const std::string& key_value) {
  if (!key_value.empty()) value = key_value;
}

}  // namespace

OAuthSettings SettingsFor(const config::Configuration& configuration, Account account) {
  OAuthSettings settings = ProviderDefaults(ProviderOf(configuration, account), account);
  Override(settings.authorization_url, configuration.OAUTHAUTHURL);
  Override(settings.device_url, configuration.OAUTHDEVICEURL);
  Override(settings.token_url, configuration.OAUTHTOKENURL);
  Override(settings.scope, configuration.OAUTHSCOPE);
  settings.client_id = configuration.OAUTHCLIENTID;
  return settings;
}

}  // namespace kestrel::oauth
