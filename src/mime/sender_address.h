// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The sender's address of a received message, from its From: field, in one
// spelling: "Node 100 <Node100@Example.ORG>" and "node100@example.org
// (Node 100)" are both "node100@example.org".

#include <string>
#include <string_view>

namespace kestrel::mime {

// Longest address a mail path may hold (RFC 5321 4.5.3.1.3); a longer one is
// cut to it.
inline constexpr std::size_t kMaxSenderBytes = 256;

// Lower case; empty when the field holds no address at all.
[[nodiscard]] std::string SenderAddress(std::string_view from_field);

}  // namespace kestrel::mime
