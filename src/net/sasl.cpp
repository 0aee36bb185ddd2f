#include "net/sasl.h"

#include <cctype>

namespace kestrel::net {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

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

std::string Base64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    const bool two = i + 1 < bytes.size();
    if (two) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += two ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string SaslPlain(std::string_view user, std::string_view password) {
  std::string message;
  message += '\0';
  message += user;
  message += '\0';
  message += password;
  return Base64(message);
}

std::string SaslXOAuth2(std::string_view user, std::string_view token) {
  return Base64("user=" + std::string(user) + "\x01" + "auth=Bearer " + std::string(token) +
                "\x01\x01");
}

std::string SaslOAuthBearer(std::string_view user, std::string_view token, std::string_view host,
                            std::uint16_t port) {
  return Base64("n,a=" + std::string(user) + ",\x01" + "host=" + std::string(host) + "\x01" +
                "port=" + std::to_string(port) + "\x01" + "auth=Bearer " + std::string(token) +
                "\x01\x01");
}

std::string ChooseMechanism(std::string_view offered, bool have_token) {
  const char* const with_token[] = {"OAUTHBEARER", "XOAUTH2"};
  const char* const with_password[] = {"PLAIN", "LOGIN"};
  for (const char* mechanism : have_token ? with_token : with_password) {
    if (Offers(offered, mechanism)) return mechanism;
  }
  return {};
}

}  // namespace kestrel::net
