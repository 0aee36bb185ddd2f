// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The start of the POP3 conversation: greeting, USER and PASS; or, when TLS,
// a password command or a token command is configured, TLS from the first
// byte or STLS after the greeting, and AUTH XOAUTH2/OAUTHBEARER for a token.

#include "config/configuration.h"
#include "net/net_session.h"

namespace kestrel::receive {

// Runs from the greeting up to STAT. False when the conversation cannot go
// on: a log line says why, and Aborted is set, or, when the server refused
// USER or PASS, a shortfall (the caller still says QUIT).
[[nodiscard]] bool Pop3Login(net::NetSession& session, const config::Configuration& configuration);

}  // namespace kestrel::receive
