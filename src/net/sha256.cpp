// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/sha256.h"

#include <array>
#include <cstdio>

#include "net/openssl_library.h"

namespace kestrel::net {

struct Sha256::Context {
  const OpenSslLibrary* ssl = nullptr;
  EVP_MD_CTX* md = nullptr;
  bool failed = false;

  ~Context() {
    if (md) ssl->EVP_MD_CTX_free(md);
  }

  bool Start() {
    if (md) return !failed;
    ssl = OpenSsl();
    if (!ssl) return false;
    md = ssl->EVP_MD_CTX_new();
    failed = !md || ssl->EVP_DigestInit_ex(md, ssl->EVP_sha256(), nullptr) != 1;
    return !failed;
  }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {}
Sha256::~Sha256() = default;

void Sha256::Update(std::string_view bytes) {
  if (!context_->Start()) {
    context_->failed = true;
    return;
  }
  if (context_->ssl->EVP_DigestUpdate(context_->md, bytes.data(), bytes.size()) != 1) {
    context_->failed = true;
  }
}

std::optional<std::string> Sha256::FinishHex() {
  std::unique_ptr<Context> context = std::make_unique<Context>();
  std::swap(context, context_);
  if (!context->Start()) return std::nullopt;
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (context->ssl->EVP_DigestFinal_ex(context->md, digest.data(), &length) != 1) {
    return std::nullopt;
  }
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    std::array<char, 3> pair{};
    std::snprintf(pair.data(), pair.size(), "%02x", digest[i]);
    hex += pair.data();
  }
  return hex;
}

std::optional<std::string> Sha256Hex(std::string_view bytes) {
  Sha256 digest;
  digest.Update(bytes);
  return digest.FinishHex();
}

}  // namespace kestrel::net
