// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/oauth_server.h"

#include <cstdlib>
#include <fstream>

namespace kestrel::testing {

namespace {

constexpr auto kStartTimeout = 20s;

}  // namespace

OAuthServer::OAuthServer(OAuthServerOptions options) {
  const std::optional<TlsFiles> tls = MakeSelfSignedCertificate(dir_.path());
  if (!tls) return;
  ca_file_ = tls->certificate;
  std::vector<std::string> argv = {
      "/usr/bin/python3",
      std::string(KESTREL_SOURCE_DIR) + "/tests/servers/oauth_server.py",
      "--cert",
      tls->certificate,
      "--key",
      tls->key,
      "--log",
      dir_.File("requests.log"),
      "--device",
      options.device,
      "--expires-in",
      std::to_string(options.expires_in)};
  for (const std::string& token : options.refresh_tokens) {
    argv.insert(argv.end(), {"--refresh-token", token});
  }
  if (!options.rotate) argv.push_back("--no-rotate");
  if (options.forge_state) argv.push_back("--forge-state");
  if (options.tamper_challenge) argv.push_back("--tamper-challenge");
  argv.insert(argv.end(), {"--refresh-answer", options.refresh_answer});
  if (!process_.Start(argv, true, dir_.File("server.log"))) return;
  const std::optional<std::string> line = process_.ReadStdoutLine(kStartTimeout);
  if (!line) return;
  const std::size_t blank = line->find(' ');
  if (blank == std::string::npos) return;
  port_ = static_cast<std::uint16_t>(std::atoi(line->c_str()));
  plain_port_ = static_cast<std::uint16_t>(std::atoi(line->c_str() + blank + 1));
}

std::string OAuthServer::IntrospectionUrl() const {
  return "http://127.0.0.1:" + std::to_string(plain_port_) + "/introspect";
}

std::string OAuthServer::Url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + path;
}

std::string OAuthServer::ConfigurationLines(bool with_device) const {
  std::string lines = "OAUTHCLIENTID kestrel-test\nOAUTHTOKENURL " + Url("/token") +
                      "\nOAUTHAUTHURL " + Url("/authorize") + "\nOAUTHSCOPE mail offline_access\n" +
                      "CAFILE " + ca_file_ + "\n";
  if (with_device) lines += "OAUTHDEVICEURL " + Url("/device") + "\n";
  return lines;
}

std::vector<std::string> OAuthServer::Requests() const {
  std::vector<std::string> requests;
  std::ifstream log(dir_.File("requests.log"));
  for (std::string line; std::getline(log, line);) requests.push_back(line);
  return requests;
}

}  // namespace kestrel::testing
