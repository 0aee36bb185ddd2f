// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The scripted OAuth 2.0 authorization server of tests/servers/oauth_server.py,
// over TLS on 127.0.0.1 with a self-signed certificate (ca_file() for
// CAFILE), started in the constructor and stopped by its own PID.

#include <string>
#include <vector>

#include "support/mail_servers.h"
#include "support/temp_dir.h"

namespace kestrel::testing {

struct OAuthServerOptions {
  std::string device = "ok";  // the device checks' answers: pending, slow_down, denied, expired, ok
  int expires_in = 3600;      // of each access token
  std::vector<std::string> refresh_tokens;  // valid before any login
  bool rotate = true;                       // a refresh hands out a new refresh token
  bool forge_state = false;                 // the login page answers with another state
  bool tamper_challenge = false;            // the login page keeps another challenge
  std::string refresh_answer = "normal";    // huge, garbage, wrong-types, silent
};

class OAuthServer {
 public:
  explicit OAuthServer(OAuthServerOptions options = {});
  OAuthServer(const OAuthServer&) = delete;
  OAuthServer& operator=(const OAuthServer&) = delete;

  [[nodiscard]] bool running() const { return port_ != 0; }
  [[nodiscard]] std::string Url(const std::string& path) const;
  [[nodiscard]] const std::string& ca_file() const { return ca_file_; }
  // Plain HTTP, for a mail server on loopback that checks the tokens.
  [[nodiscard]] std::string IntrospectionUrl() const;
  // The configuration lines of a custom provider at this server.
  [[nodiscard]] std::string ConfigurationLines(bool with_device) const;
  // Each request's path and form, one JSON line each, in order.
  [[nodiscard]] std::vector<std::string> Requests() const;

 private:
  TempDir dir_;
  std::string ca_file_;
  std::uint16_t port_ = 0;
  std::uint16_t plain_port_ = 0;
  ChildProcess process_;
};

}  // namespace kestrel::testing
