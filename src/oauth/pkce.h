// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Proof Key for Code Exchange (RFC 7636): a verifier kept by the program and
// its S256 challenge sent with the login page's address, so that a code
// caught by another program on this computer is worth nothing to it.

#include <optional>
#include <string>

namespace kestrel::oauth {

// `bytes` random bytes from the kernel, BASE64URL-encoded without padding;
// nothing when no randomness could be had.
[[nodiscard]] std::optional<std::string> RandomUrlSafe(std::size_t bytes);

// BASE64URL(SHA-256(verifier)) without padding; nothing when the digest failed.
[[nodiscard]] std::optional<std::string> S256Challenge(const std::string& verifier);

}  // namespace kestrel::oauth
