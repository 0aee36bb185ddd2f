// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Initial responses of the SASL mechanisms we offer (RFC 4616 PLAIN, LOGIN,
// XOAUTH2 and RFC 7628 OAUTHBEARER), BASE64-encoded for the AUTH command.

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::net {

[[nodiscard]] std::string SaslPlain(std::string_view user, std::string_view password);
[[nodiscard]] std::string SaslXOAuth2(std::string_view user, std::string_view token);
[[nodiscard]] std::string SaslOAuthBearer(std::string_view user, std::string_view token,
                                          std::string_view host, std::uint16_t port);

// The client's answer to a server's error challenge after a refused token,
// which lets the server end the exchange with its failure reply: an empty
// line for XOAUTH2, a single ^A for OAUTHBEARER (RFC 7628 3.2.3), encoded.
[[nodiscard]] std::string SaslErrorAnswer(std::string_view mechanism);

// What a server's error challenge says, decoded for the log (providers send
// a BASE64 JSON status such as {"status":"invalid_token",...}); `challenge`
// is the text after "334 " or "+ ". Empty when it carries nothing readable.
[[nodiscard]] std::string SaslErrorText(std::string_view challenge);

// The mechanism to use from a server's list (the words after "AUTH" in an
// EHLO line, or the lines of a POP3 CAPA "SASL" entry): with a token,
// OAUTHBEARER, then XOAUTH2; with a password, PLAIN, then LOGIN. Empty when
// the server offers none of them.
[[nodiscard]] std::string ChooseMechanism(std::string_view offered, bool have_token);

}  // namespace kestrel::net
