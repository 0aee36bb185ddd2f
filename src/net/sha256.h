// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// SHA-256 through the OpenSSL library loaded at run time, fed in pieces: a
// fingerprint of a file or message that may be far larger than memory.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::net {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Adds bytes; ignored once the digest has failed.
  void Update(std::string_view bytes);
  // The digest in lower-case hex (64 digits), or nothing when OpenSSL could
  // not be loaded or failed: the caller then knows nothing about the bytes.
  // Ends the digest; a new one starts with the next Update.
  [[nodiscard]] std::optional<std::string> FinishHex();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// The digest of one piece of text.
[[nodiscard]] std::optional<std::string> Sha256Hex(std::string_view bytes);

}  // namespace kestrel::net
