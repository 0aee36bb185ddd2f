// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/sasl.h"

#include <cctype>

#include "mime/ascii_text.h"
#include "mime/base64.h"

namespace kestrel::net {

namespace {

bool Offers(std::string_view offered, std::string_view mechanism) {
  std::size_t pos = 0;
  while (pos < offered.size()) {
    while (pos < offered.size() && (offered[pos] == ' ' || offered[pos] == '=')) ++pos;
    std::size_t end = pos;
    while (end < offered.size() && offered[end] != ' ' && offered[end] != '=') ++end;
    std::string_view word = offered.substr(pos, end - pos);
    if (word.size() == mechanism.size()) {
      bool same = true;
      for (std::size_t i = 0; i < word.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(word[i])) != mechanism[i]) same = false;
      }
      if (same) return true;
    }
    pos = end;
  }
  return false;
}

}  // namespace

std::string SaslPlain(std::string_view user, std::string_view password) {
  std::string message;
  message += '\0';
  message += user;
  message += '\0';
  message += password;
  return mime::EncodeBase64(message);
}

std::string SaslXOAuth2(std::string_view user, std::string_view token) {
  return mime::EncodeBase64("user=" + std::string(user) + "\x01" + "auth=Bearer " +
                            std::string(token) + "\x01\x01");
}

std::string SaslOAuthBearer(std::string_view user, std::string_view token, std::string_view host,
                            std::uint16_t port) {
  return mime::EncodeBase64("n,a=" + std::string(user) + ",\x01" + "host=" + std::string(host) +
                            "\x01" + "port=" + std::to_string(port) + "\x01" + "auth=Bearer " +
                            std::string(token) + "\x01\x01");
}

std::string SaslErrorAnswer(std::string_view mechanism) {
  return mechanism == "OAUTHBEARER" ? mime::EncodeBase64("\x01") : std::string();
}

std::string ChooseMechanism(std::string_view offered, bool have_token) {
  const char* const with_token[] = {"OAUTHBEARER", "XOAUTH2"};
  const char* const with_password[] = {"PLAIN", "LOGIN"};
  for (const char* mechanism : have_token ? with_token : with_password) {
    if (Offers(offered, mechanism)) return mechanism;
  }
  return {};
}

std::string SaslErrorText(std::string_view challenge) {
  // A status report is a line of JSON; more is no report a person reads.
  constexpr std::size_t kMaxShownBytes = 300;
  while (!challenge.empty() && challenge.front() == ' ') challenge.remove_prefix(1);
  std::string text = mime::DecodeBase64Line(challenge.substr(0, kMaxShownBytes * 4 / 3 + 4));
  if (text.size() > kMaxShownBytes) text.resize(kMaxShownBytes);
  const bool readable = !text.empty() && text.find_first_not_of(" \t\r\n") != std::string::npos;
  return readable ? mime::Printable(text) : std::string();
}

}  // namespace kestrel::net
