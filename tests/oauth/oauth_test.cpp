// SPDX-License-Identifier: GPL-2.0-or-later
// The built-in OAuth 2.0 logins against a scripted authorization server over
// TLS: the token file, refresh and rotation, the device and browser logins,
// and an SMTP login with the tokens, where no token reaches a line.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "config/configuration_line.h"
#include "core/log.h"
#include "net/net_session.h"
#include "oauth/access_token.h"
#include "oauth/login.h"
#include "oauth/token_file.h"
#include "send/smtp_dialogue.h"
#include "send/smtp_login.h"
#include "support/mail_servers.h"
#include "support/oauth_server.h"
#include "support/program_home_at.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace kestrel::oauth {
namespace {

using testing::OAuthServer;
using testing::OAuthServerOptions;

std::int64_t Now() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

mode_t ModeOf(const std::string& file) {
  struct stat info {};
  return stat(file.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class OAuthTest : public ::testing::Test {
 protected:
  // The receiving side's keys for an IMAP account at `server`.
  config::Configuration Imap(const OAuthServer& server, bool with_device) {
    config::Configuration c;
    config::ResetForRead(core::Side::Receiving, c);
    const std::string lines =
        "IMAPSERVER 127.0.0.1\nIMAPUSERNAME gate@example.org\n"
        "IMAPOAUTH custom\nNETTIMEOUT 10\n" +
        server.ConfigurationLines(with_device);
    std::size_t start = 0;
    for (std::size_t end; (end = lines.find('\n', start)) != std::string::npos; start = end + 1) {
      config::TakeConfigurationLine(core::Side::Receiving, lines.substr(start, end - start), c);
    }
    return c;
  }

  std::string ImapFile() const { return TokenFileName(Account::Imap, "gate@example.org"); }

  testing::TempDir home;
  testing::ProgramHomeAt at{home.path()};
  std::atomic<bool> never{false};
};

TEST_F(OAuthTest, TokenFileIsTheOwnersAloneAndAlwaysReplacedWhole) {
  const std::string file = ImapFile();
  ASSERT_TRUE(SaveTokens(file, {"refresh-a", "access-a", 100}));
  EXPECT_EQ(ModeOf(file), 0600u);
  struct stat first {};
  ASSERT_EQ(stat(file.c_str(), &first), 0);
  ASSERT_TRUE(SaveTokens(file, {"refresh-b", "access-b", 200}));
  struct stat second {};
  ASSERT_EQ(stat(file.c_str(), &second), 0);
  // Renamed in over the old file, nothing left beside it.
  EXPECT_NE(first.st_ino, second.st_ino);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.path()), {}), 1);
  LoadedTokens loaded = LoadTokens(file);
  ASSERT_EQ(loaded.state, TokenFileState::Loaded);
  EXPECT_EQ(loaded.tokens.refresh_token, "refresh-b");
  EXPECT_EQ(loaded.tokens.expires_at, 200);

  // Readable by others: refused, as ssh refuses such a key.
  chmod(file.c_str(), 0644);
  EXPECT_EQ(LoadTokens(file).state, TokenFileState::OpenToOthers);
  const OAuthServer server;
  ASSERT_TRUE(server.running());
  std::string problem;
  const auto client = MakeTokenClient(Imap(server, false), Account::Imap, never, problem);
  ASSERT_TRUE(client);
  const AccessToken token =
      CurrentAccessToken(*client, Account::Imap, "gate@example.org", false, Now());
  EXPECT_EQ(token.status, AccessToken::Status::NeedsLogin);
  EXPECT_EQ(token.problem, "** Token file " + file +
                               " can be read by other users: not used (run kestrel --login imap "
                               "again, its tokens may have been seen)");
  EXPECT_TRUE(server.Requests().empty());
  // A new login closes it first.
  ASSERT_TRUE(SaveTokens(file, {"refresh-c", "", 0}));
  EXPECT_EQ(ModeOf(file), 0600u);
}

TEST_F(OAuthTest, AccessTokenIsRefreshedNearItsEndAndARotatedRefreshTokenIsKept) {
  struct Case {
    const char* name;
    StoredTokens stored;
    bool refused;
    bool rotate;
    AccessToken::Status status;
    std::string token;         // handed to the login
    std::string kept_refresh;  // in the file afterwards
    std::size_t requests;
  } cases[] = {
      {"time left",
       {"refresh-0", "cached", Now() + 3600},
       false,
       true,
       AccessToken::Status::Ready,
       "cached",
       "refresh-0",
       0},
      {"near its end",
       {"refresh-0", "cached", Now() + 60},
       false,
       true,
       AccessToken::Status::Ready,
       "access-1",
       "refresh-1",
       1},
      {"refused by the server",
       {"refresh-0", "cached", Now() + 3600},
       true,
       true,
       AccessToken::Status::Ready,
       "access-1",
       "refresh-1",
       1},
      {"provider without rotation",
       {"refresh-0", "", 0},
       false,
       false,
       AccessToken::Status::Ready,
       "access-1",
       "refresh-0",
       1},
      {"dead refresh token",
       {"revoked", "", 0},
       false,
       true,
       AccessToken::Status::NeedsLogin,
       "",
       "revoked",
       1},
  };
  for (const Case& c : cases) {
    OAuthServerOptions options;
    options.refresh_tokens = {"refresh-0"};
    options.rotate = c.rotate;
    const OAuthServer server(options);
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(SaveTokens(ImapFile(), c.stored));
    std::string problem;
    const auto client = MakeTokenClient(Imap(server, false), Account::Imap, never, problem);
    ASSERT_TRUE(client);
    const AccessToken token =
        CurrentAccessToken(*client, Account::Imap, "gate@example.org", c.refused, Now());
    EXPECT_EQ(token.status, c.status) << c.name << ": " << token.problem;
    EXPECT_EQ(token.token, c.token) << c.name;
    const LoadedTokens kept = LoadTokens(ImapFile());
    EXPECT_EQ(kept.tokens.refresh_token, c.kept_refresh) << c.name;
    EXPECT_EQ(server.Requests().size(), c.requests) << c.name;
    if (c.status == AccessToken::Status::NeedsLogin) {
      EXPECT_EQ(token.problem,
                "** The IMAP login is no longer valid (invalid_grant (scripted invalid_grant)): "
                "run kestrel --login imap");
    } else if (c.requests > 0) {
      EXPECT_EQ(kept.tokens.access_token, "access-1") << c.name;
      EXPECT_GT(kept.tokens.expires_at, Now() + 3000) << c.name;
    }
  }
}

TEST_F(OAuthTest, HostileTokenEndpointsFailWithALineAndKeepTheFile) {
  struct Case {
    const char* answer;
    std::string problem;
    bool plain_http = false;
    bool trusted = true;
  } cases[] = {
      {"huge", "-- IMAP token refresh failed: the reply is longer than 65536 bytes"},
      {"garbage", "-- IMAP token refresh failed: HTTP 200, no JSON answer"},
      {"wrong-types", "-- IMAP token refresh failed: HTTP 200, no access token"},
      {"silent", "-- IMAP token refresh failed: Operation timed out after "},
      {"normal", "-- IMAP token refresh failed: Protocol \"http\" not supported", true},
      {"normal", "-- IMAP token refresh failed: SSL certificate problem: self-signed certificate",
       false, false},
  };
  for (const Case& c : cases) {
    OAuthServerOptions options;
    options.refresh_tokens = {"refresh-0"};
    options.refresh_answer = c.answer;
    const OAuthServer server(options);
    ASSERT_TRUE(server.running());
    const StoredTokens stored{"refresh-0", "stale-access", Now() - 10};
    ASSERT_TRUE(SaveTokens(ImapFile(), stored));
    config::Configuration configuration = Imap(server, false);
    configuration.NETTIMEOUT = 2;
    if (c.plain_http) configuration.OAUTHTOKENURL = "http://127.0.0.1:9/token";
    if (!c.trusted) configuration.CAFILE.clear();
    std::string problem;
    const auto client = MakeTokenClient(configuration, Account::Imap, never, problem);
    ASSERT_TRUE(client);
    const AccessToken token =
        CurrentAccessToken(*client, Account::Imap, "gate@example.org", false, Now());
    EXPECT_EQ(token.status, AccessToken::Status::Failed) << c.answer;
    EXPECT_EQ(token.problem.rfind(c.problem, 0), 0u) << c.answer << ": " << token.problem;
    EXPECT_EQ(LoadTokens(ImapFile()).tokens.access_token, "stale-access") << c.answer;
  }
}

// The lines a login shows, and a wait for one of them.
class Terminal {
 public:
  Say say() {
    return [this](const std::string& line) {
      const std::lock_guard guard(mutex_);
      lines_.push_back(line);
      changed_.notify_all();
    };
  }
  std::string WaitFor(const std::string& prefix) {
    std::unique_lock lock(mutex_);
    std::string found;
    changed_.wait_for(lock, std::chrono::seconds(20), [&] {
      for (const std::string& line : lines_) {
        if (line.rfind(prefix, 0) == 0) found = line;
      }
      return !found.empty();
    });
    return found;
  }
  std::string All() {
    const std::lock_guard guard(mutex_);
    std::string all;
    for (const std::string& line : lines_) all += line + "\n";
    return all;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

TEST_F(OAuthTest, DeviceLoginWaitsAtTheProvidersPaceAndSaysHowItEnded) {
  struct Case {
    const char* device;
    std::string problem;  // empty: logged in
  } cases[] = {
      {"pending,slow_down,ok", ""},
      {"pending,denied", "** The login was refused at the provider (access_denied)"},
      {"expired",
       "** The code expired before the login was finished: run kestrel --login imap "
       "again"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(ImapFile());
    OAuthServerOptions options;
    options.device = c.device;
    const OAuthServer server(options);
    ASSERT_TRUE(server.running());
    Terminal terminal;
    const LoginOutcome outcome = LogIn(Imap(server, true), Account::Imap, terminal.say(), never);
    EXPECT_EQ(outcome.logged_in, c.problem.empty()) << c.device << ": " << outcome.problem;
    EXPECT_EQ(outcome.problem, c.problem) << c.device;
    const std::string shown = terminal.All();
    EXPECT_NE(shown.find("To log in the IMAP account gate@example.org, open " +
                         server.Url("/activate") + " and enter the code KES-TREL"),
              std::string::npos)
        << shown;
    EXPECT_EQ(shown.find("device-secret"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("access-"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("refresh-"), std::string::npos) << shown;
    if (c.problem.empty()) {
      EXPECT_NE(shown.find("-- The provider asks for slower checks: every 6 seconds now"),
                std::string::npos)
          << shown;
      EXPECT_EQ(ModeOf(ImapFile()), 0600u);
      EXPECT_EQ(LoadTokens(ImapFile()).tokens.refresh_token, "refresh-1");
    } else {
      EXPECT_FALSE(std::filesystem::exists(ImapFile())) << c.device;
    }
  }
}

// Sends `request` to 127.0.0.1:port and returns the status line of the
// answer (empty when the connection closed without one).
std::string AskListener(std::uint16_t port, const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval wait{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) >= 0) {
    char buffer[512];
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got > 0) answer.assign(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return answer.substr(0, answer.find("\r\n"));
}

TEST_F(OAuthTest, BrowserLoginChecksTheStateAndProvesTheVerifier) {
  struct Case {
    const char* name;
    bool forge_state;
    bool tamper_challenge;
    std::string problem;
  } cases[] = {
      {"as it should", false, false, ""},
      {"forged state", true, false,
       "** The login's answer does not belong to it (its state differs): nothing saved"},
      {"other verifier", false, true,
       "** The provider refused the code: invalid_grant (scripted invalid_grant)"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(ImapFile());
    OAuthServerOptions options;
    options.forge_state = c.forge_state;
    options.tamper_challenge = c.tamper_challenge;
    const OAuthServer server(options);
    ASSERT_TRUE(server.running());
    Terminal terminal;
    // The browser: opens the address shown and follows the redirect home.
    std::thread browser([&] {
      const std::string address = terminal.WaitFor(server.Url("/authorize?"));
      if (address.empty()) return;
      // Whatever else reaches the listener first leaves the login waiting.
      const std::string marker = "redirect_uri=http%3A%2F%2F127.0.0.1%3A";
      const std::size_t at = address.find(marker);
      ASSERT_NE(at, std::string::npos);
      const auto port = static_cast<std::uint16_t>(std::atoi(address.c_str() + at + marker.size()));
      EXPECT_EQ(AskListener(port, std::string(20000, 'A')), "HTTP/1.1 400 Bad Request");
      EXPECT_EQ(AskListener(port, "POST /?code=x&state=y HTTP/1.1\r\n\r\n"),
                "HTTP/1.1 400 Bad Request");
      EXPECT_EQ(AskListener(port, "GET /favicon.ico HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found");
      EXPECT_EQ(AskListener(port, "GET /?nothing=here HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found");
      (void)testing::RunCommand(
          {"/usr/bin/curl", "-s", "-L", "--max-time", "20", "--cacert", server.ca_file(), address});
    });
    const LoginOutcome outcome = LogIn(Imap(server, false), Account::Imap, terminal.say(), never);
    browser.join();
    EXPECT_EQ(outcome.problem, c.problem) << c.name;
    EXPECT_EQ(std::filesystem::exists(ImapFile()), c.problem.empty()) << c.name;
    const std::string address = terminal.WaitFor(server.Url("/authorize?"));
    EXPECT_NE(address.find("code_challenge_method=S256"), std::string::npos) << address;
    EXPECT_NE(address.find("redirect_uri=http%3A%2F%2F127.0.0.1%3A"), std::string::npos);
  }
}

// An SMTP login with the account's tokens, against a real SMTP server that
// takes only the token the authorization server issues first.
class OAuthSmtpTest : public OAuthTest {
 protected:
  net::SessionOutcome LogInToSmtp(const OAuthServer& auth, const testing::SmtpServer& smtp) {
    config::Configuration c;
    config::ResetForRead(core::Side::Sending, c);
    for (const std::string line : {"HOST 127.0.0.1", "SMTPTLS starttls", "SMTPUSERNAME gate",
                                   "SMTPOAUTH custom", "NETTIMEOUT 10"}) {
      config::TakeConfigurationLine(core::Side::Sending, line, c);
    }
    const std::string lines = auth.ConfigurationLines(false);
    std::size_t start = 0;
    for (std::size_t end; (end = lines.find('\n', start)) != std::string::npos; start = end + 1) {
      config::TakeConfigurationLine(core::Side::Sending, lines.substr(start, end - start), c);
    }
    // Both servers' certificates: the HTTPS one and the SMTP one.
    home.Write("both.pem", ReadAll(auth.ca_file()) + ReadAll(smtp.directory() + "/cert.pem"));
    c.CAFILE = home.File("both.pem");
    c.SMTPPORT = smtp.port();
    logger.OpenLog(core::Side::Sending);
    net::NetSession session(core::Side::Sending, send::SmtpEndpoint(c), logger);
    return net::RunSession(session,
                           [&](net::NetSession& s) { (void)send::OpenSmtpConversation(s, c); });
  }
  static std::string ReadAll(const std::string& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string SmtpFile() const { return TokenFileName(Account::Smtp, "gate"); }

  testing::RecordingFrontEnd front_end;
  core::Logger logger{front_end, home.path()};
};

TEST_F(OAuthSmtpTest, LoginRefreshesAnExpiredOrRefusedTokenAndNeverShowsOne) {
  struct Case {
    const char* name;
    StoredTokens stored;
    bool aborted;
    bool misconfigured;
    std::string kept_refresh;
  } cases[] = {
      {"expired access token",
       {"refresh-0", "stale-access", Now() - 10},
       false,
       false,
       "refresh-1"},
      {"refused access token",
       {"refresh-0", "revoked-early", Now() + 3600},
       false,
       false,
       "refresh-1"},
      {"dead refresh token", {"dead-refresh", "", 0}, true, true, "dead-refresh"},
  };
  for (const Case& c : cases) {
    OAuthServerOptions options;
    options.refresh_tokens = {"refresh-0"};
    const OAuthServer auth(options);
    testing::SmtpServerOptions smtp_options;
    smtp_options.require_starttls = true;
    smtp_options.xoauth2_user = "gate";
    smtp_options.xoauth2_token = "access-1";
    const testing::SmtpServer smtp(smtp_options);
    ASSERT_TRUE(auth.running() && smtp.running());
    ASSERT_TRUE(SaveTokens(SmtpFile(), c.stored));
    front_end.ClearPane(core::Side::Sending);
    const net::SessionOutcome outcome = LogInToSmtp(auth, smtp);
    std::string shown;
    for (const std::string& line : front_end.Lines(core::Side::Sending)) shown += line + "\n";
    EXPECT_EQ(outcome.aborted(), c.aborted) << c.name << "\n" << shown;
    EXPECT_EQ(outcome.misconfigured(), c.misconfigured) << c.name;
    EXPECT_EQ(LoadTokens(SmtpFile()).tokens.refresh_token, c.kept_refresh) << c.name;
    const std::string log = ReadAll(home.File("SEND.LOG"));
    for (const char* secret :
         {"access-1", "refresh-", "stale-access", "revoked-early", "dead-refresh"}) {
      EXPECT_EQ(shown.find(secret), std::string::npos) << c.name << ": " << secret << "\n" << shown;
      EXPECT_EQ(log.find(secret), std::string::npos) << c.name << ": " << secret;
    }
    EXPECT_EQ(front_end.HasLine(core::Side::Sending,
                                "-- The server refused the access token; fetching a new one"),
              c.stored.access_token == "revoked-early")
        << c.name << "\n"
        << shown;
    if (c.misconfigured) {
      EXPECT_TRUE(front_end.HasLine(core::Side::Sending,
                                    "** The SMTP login is no longer valid (invalid_grant "
                                    "(scripted invalid_grant)): run kestrel --login smtp"))
          << shown;
    }
  }
}

}  // namespace
}  // namespace kestrel::oauth
