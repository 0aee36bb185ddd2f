// SPDX-License-Identifier: GPL-2.0-or-later
// The program's OAuth 2.0 round: `kestrel --login` with the device flow at a
// scripted authorization server, then /GET runs against dovecot, which checks
// each token at that server: an expired access token is refreshed and the
// rotated refresh token kept; a dead one ends the run as a configuration
// error, asked once.

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "oauth/token_file.h"
#include "support/mail_servers.h"
#include "support/oauth_server.h"
#include "support/program_home_at.h"
#include "support/program_path.h"
#include "support/temp_dir.h"

namespace kestrel::testing {
namespace {

std::size_t RefreshRequests(const OAuthServer& server, const std::string& token) {
  const std::vector<std::string> requests = server.Requests();
  return static_cast<std::size_t>(
      std::count_if(requests.begin(), requests.end(), [&](const std::string& request) {
        return request.find("\"refresh_token\": \"" + token + "\"") != std::string::npos;
      }));
}

TEST(OAuthRunTest, LoginOnceThenEachGetRefreshesAsNeeded) {
  const std::string program = ProgramPath();
  if (!std::filesystem::exists(program)) GTEST_SKIP() << "the program is not built: " << program;
  OAuthServerOptions auth_options;
  auth_options.device = "pending,ok";
  const OAuthServer auth(auth_options);
  ASSERT_TRUE(auth.running());
  Pop3ServerOptions mail_options;
  mail_options.oauth2_introspection_url = auth.IntrospectionUrl();
  Pop3Server mail(mail_options);
  ASSERT_TRUE(mail.running());

  TempDir home;
  home.MakeDir("inbound");
  home.Write("KESTREL.FLT", "@ALL\n");
  home.Write("KESTREL.INI", "IMAPSERVER 127.0.0.1\nIMAPPORT " + std::to_string(mail.imap_port()) +
                                "\nIMAPUSERNAME gate@example.org\nIMAPOAUTH custom\nINBOUND " +
                                home.File("inbound") + "\nNETTIMEOUT 10\n" +
                                auth.ConfigurationLines(true));
  const auto run = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"/usr/bin/env", "KESTREL_HOME=" + home.path(), program});
    return RunCommand(arguments, 60s, /*merge_stderr=*/true);
  };
  const ProgramHomeAt at(home.path());
  const std::string file = oauth::TokenFileName(oauth::Account::Imap, "gate@example.org");

  const CommandResult login = run({"--login"});
  ASSERT_EQ(login.exit_code, 0) << login.output;
  EXPECT_NE(login.output.find("open " + auth.Url("/activate") + " and enter the code KES-TREL"),
            std::string::npos)
      << login.output;
  EXPECT_EQ(oauth::LoadTokens(file).tokens.refresh_token, "refresh-1");

  // The access token ran out meanwhile.
  ASSERT_TRUE(oauth::SaveTokens(file, {"refresh-1", "access-1", std::time(nullptr) - 10}));
  const CommandResult get = run({"--console", "/GET"});
  EXPECT_EQ(get.exit_code, 0) << get.output << mail.ServerLog();
  EXPECT_EQ(RefreshRequests(auth, "refresh-1"), 1u);
  // dovecot asked the authorization server about the token it was given.
  const std::vector<std::string> requests = auth.Requests();
  EXPECT_TRUE(std::any_of(requests.begin(), requests.end(), [](const std::string& request) {
    return request.find("\"path\": \"/introspect\", \"form\": {\"token\": \"access-2\"") !=
           std::string::npos;
  })) << ::testing::PrintToString(requests);
  const oauth::LoadedTokens rotated = oauth::LoadTokens(file);
  EXPECT_EQ(rotated.tokens.refresh_token, "refresh-2");
  EXPECT_EQ(rotated.tokens.access_token, "access-2");
  const std::string log = home.Read("RECEIVE.LOG");
  EXPECT_NE(log.find("AUTHENTICATE"), std::string::npos) << log;
  for (const char* secret : {"access-", "refresh-", "device-secret"}) {
    EXPECT_EQ(log.find(secret), std::string::npos) << secret << "\n" << log;
    EXPECT_EQ(get.output.find(secret), std::string::npos) << secret << "\n" << get.output;
  }

  // refresh-1 was rotated away: only a new login helps, and it is asked once.
  ASSERT_TRUE(oauth::SaveTokens(file, {"refresh-1", "", 0}));
  const CommandResult dead = run({"--console", "/GET"});
  EXPECT_EQ(dead.exit_code, 2) << dead.output;
  EXPECT_NE(dead.output.find("** The IMAP login is no longer valid (invalid_grant (scripted "
                             "invalid_grant)): run kestrel --login imap"),
            std::string::npos)
      << dead.output;
  EXPECT_EQ(RefreshRequests(auth, "refresh-1"), 2u);

  const CommandResult unknown = run({"--login", "nntp"});
  EXPECT_EQ(unknown.exit_code, 2);
  EXPECT_NE(unknown.output.find("kestrel: --login knows smtp, pop and imap, not nntp"),
            std::string::npos)
      << unknown.output;
}

TEST(OAuthRunTest, ATokenTheMailServerRefusesIsReplacedOnce) {
  const std::string program = ProgramPath();
  if (!std::filesystem::exists(program)) GTEST_SKIP() << "the program is not built: " << program;
  for (const oauth::Account account : {oauth::Account::Pop3, oauth::Account::Imap}) {
    const std::string label(oauth::AccountLabel(account));
    OAuthServerOptions auth_options;
    auth_options.refresh_tokens = {"refresh-0"};
    const OAuthServer auth(auth_options);
    ASSERT_TRUE(auth.running());
    Pop3ServerOptions mail_options;
    mail_options.oauth2_introspection_url = auth.IntrospectionUrl();
    Pop3Server mail(mail_options);
    ASSERT_TRUE(mail.running());
    TempDir home;
    home.MakeDir("inbound");
    home.Write("KESTREL.FLT", "@ALL\n");
    const std::string keys = account == oauth::Account::Pop3
                                 ? "POPSERVER 127.0.0.1\nPOPPORT " + std::to_string(mail.port()) +
                                       "\nPOPUSERNAME gate@example.org\nPOPOAUTH custom\n"
                                 : "IMAPSERVER 127.0.0.1\nIMAPPORT " +
                                       std::to_string(mail.imap_port()) +
                                       "\nIMAPUSERNAME gate@example.org\nIMAPOAUTH custom\n";
    home.Write("KESTREL.INI", keys + "INBOUND " + home.File("inbound") + "\nNETTIMEOUT 10\n" +
                                  auth.ConfigurationLines(false));
    const ProgramHomeAt at(home.path());
    const std::string file = oauth::TokenFileName(account, "gate@example.org");
    // Revoked at the provider long before its end.
    ASSERT_TRUE(oauth::SaveTokens(file, {"refresh-0", "revoked-early", std::time(nullptr) + 3600}));
    const CommandResult get = RunCommand(
        {"/usr/bin/env", "KESTREL_HOME=" + home.path(), program, "--console", "/GET"}, 60s, true);
    EXPECT_EQ(get.exit_code, 0) << label << "\n" << get.output << mail.ServerLog();
    EXPECT_NE(get.output.find("-- The server refused the access token; fetching a new one"),
              std::string::npos)
        << label << "\n"
        << get.output;
    EXPECT_EQ(RefreshRequests(auth, "refresh-0"), 1u) << label;
    EXPECT_EQ(oauth::LoadTokens(file).tokens.access_token, "access-1") << label;
    EXPECT_EQ(get.output.find("revoked-early"), std::string::npos) << label;
  }
}

}  // namespace
}  // namespace kestrel::testing
