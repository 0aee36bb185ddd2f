// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The JSON answers of a provider's token and device endpoints (RFC 6749 5,
// RFC 8628 3.2), read with a JSON library; fields of the wrong type count as
// missing.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::oauth {

struct TokenReply {
  std::string access_token;
  std::string refresh_token;  // empty: the old one stays valid
  std::int64_t expires_in = 0;
  std::string error;              // "invalid_grant", "authorization_pending", ...
  std::string error_description;  // the provider's words, cut short and printable
};

struct DeviceGrant {
  std::string device_code;
  std::string user_code;
  std::string verification_uri;
  std::int64_t expires_in = 0;
  std::int64_t interval = 0;  // 0: not given
};

// Nothing when the body is no JSON object.
[[nodiscard]] std::optional<TokenReply> ParseTokenReply(std::string_view body);
// Nothing when the body is no JSON object or lacks a code or the address.
[[nodiscard]] std::optional<DeviceGrant> ParseDeviceGrant(std::string_view body);

}  // namespace kestrel::oauth
