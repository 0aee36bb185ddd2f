// SPDX-License-Identifier: GPL-2.0-or-later
#include "oauth/pkce.h"

#include <sys/random.h>

#include <cerrno>

#include "mime/base64.h"
#include "net/sha256.h"

namespace kestrel::oauth {

namespace {

std::string UrlSafe(std::string base64) {
  for (char& ch : base64) {
    if (ch == '+') ch = '-';
    if (ch == '/') ch = '_';
  }
  while (!base64.empty() && base64.back() == '=') base64.pop_back();
  return base64;
}

int HexValue(char ch) {
  return ch <= '9' ? ch - '0' : ch - 'a' + 10;
}

}  // namespace

std::optional<std::string> RandomUrlSafe(std::size_t bytes) {
  std::string random(bytes, '\0');
  std::size_t filled = 0;
  while (filled < bytes) {
    const ssize_t got = getrandom(random.data() + filled, bytes - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    filled += static_cast<std::size_t>(got);
  }
  return UrlSafe(mime::EncodeBase64(random));
}

std::optional<std::string> S256Challenge(const std::string& verifier) {
  const std::optional<std::string> hex = net::Sha256Hex(verifier);
  if (!hex) return std::nullopt;
  std::string digest;
  for (std::size_t i = 0; i + 1 < hex->size(); i += 2) {
    digest += static_cast<char>(HexValue((*hex)[i]) * 16 + HexValue((*hex)[i + 1]));
  }
  return UrlSafe(mime::EncodeBase64(digest));
}

}  // namespace kestrel::oauth
