// SPDX-License-Identifier: GPL-2.0-or-later
#include "oauth/token_reply.h"

#include <nlohmann/json.hpp>

namespace kestrel::oauth {

namespace {

using nlohmann::json;

// A provider's error description is shown in a log line, not quoted whole.
constexpr std::size_t kMaxDescription = 160;

std::string Text(const json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// A lifetime or pause beyond a year is none a provider means.
constexpr std::int64_t kMaxSeconds = 366 * 24 * 3600;

// Seconds may come as a number or, from some providers, as a string; any
// other value, or one out of range, counts as not given.
std::int64_t Seconds(const json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end()) return 0;
  std::int64_t seconds = 0;
  if (found->is_number_integer()) {
    seconds = found->get<std::int64_t>();
  } else if (found->is_string()) {
    const std::string text = found->get<std::string>();
    if (!text.empty() && text.size() < 10 &&
        text.find_first_not_of("0123456789") == std::string::npos)
      seconds = std::stoll(text);
  }
  return seconds >= 0 && seconds <= kMaxSeconds ? seconds : 0;
}

std::string Printable(std::string text) {
  if (text.size() > kMaxDescription) text.resize(kMaxDescription);
  for (char& ch : text) {
    if (static_cast<unsigned char>(ch) < 0x20) ch = ' ';
  }
  return text;
}

std::optional<json> Object(std::string_view body) {
  json parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  return parsed;
}

}  // namespace

std::optional<TokenReply> ParseTokenReply(std::string_view body) {
  const std::optional<json> object = Object(body);
  if (!object) return std::nullopt;
  TokenReply reply;
  reply.access_token = Text(*object, "access_token");
  reply.refresh_token = Text(*object, "refresh_token");
  reply.expires_in = Seconds(*object, "expires_in");
  reply.error = Printable(Text(*object, "error"));
  reply.error_description = Printable(Text(*object, "error_description"));
  return reply;
}

std::optional<DeviceGrant> ParseDeviceGrant(std::string_view body) {
  const std::optional<json> object = Object(body);
  if (!object) return std::nullopt;
  DeviceGrant grant;
  grant.device_code = Text(*object, "device_code");
  grant.user_code = Printable(Text(*object, "user_code"));
  grant.verification_uri = Printable(Text(*object, "verification_uri"));
  // An older draft's name, still used by some providers.
  if (grant.verification_uri.empty())
    grant.verification_uri = Printable(Text(*object, "verification_url"));
  grant.expires_in = Seconds(*object, "expires_in");
  grant.interval = Seconds(*object, "interval");
  if (grant.device_code.empty() || grant.user_code.empty() || grant.verification_uri.empty())
    return std::nullopt;
  return grant;
}

}  // namespace kestrel::oauth
