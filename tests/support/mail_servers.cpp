// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/mail_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "support/system_user.h"

extern char** environ;

namespace kestrel::testing {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Python that sees Debian's packages (the first python3 on PATH may not).
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kDovecot = "/usr/sbin/dovecot";
// The unprivileged owner of the POP3 mailbox: dovecot refuses uid 0.
constexpr const char* kMailUser = "kestrelmail";
// Server start-up under a loaded machine (sanitizer runs in parallel) is slow.
constexpr auto kStartTimeout = 20s;
// Tries with a fresh port when another process took the one we picked.
constexpr int kPortTries = 3;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

std::string MakeTempDir(const char* prefix) {
  std::string templ = std::string("/tmp/") + prefix + "XXXXXX";
  if (!mkdtemp(templ.data())) return {};
  // Servers running as other users must reach what lies below.
  chmod(templ.c_str(), 0755);
  return templ;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void RemoveTree(const std::string& dir) {
  if (dir.empty()) return;
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

std::vector<char*> ArgvPointers(const std::vector<std::string>& argv) {
  std::vector<char*> pointers;
  for (const auto& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

// ---------------------------------------------------------------- processes

bool ChildProcess::Start(const std::vector<std::string>& argv, bool stdout_pipe,
                         const std::string& stderr_file) {
  Stop();
  int pipe_fds[2] = {-1, -1};
  if (stdout_pipe && pipe2(pipe_fds, O_CLOEXEC) != 0) return false;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (stdout_pipe) {
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  const std::string err = stderr_file.empty() ? "/dev/null" : stderr_file;
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  // Its own process group, so that Stop() can reach the server's children.
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  auto args = ArgvPointers(argv);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (stdout_pipe) close(pipe_fds[1]);
  if (rc != 0) {
    if (stdout_pipe) close(pipe_fds[0]);
    return false;
  }
  pid_ = pid;
  stdout_fd_ = stdout_pipe ? pipe_fds[0] : -1;
  pending_.clear();
  return true;
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  siginfo_t info{};
  // WNOWAIT: an ended child stays a zombie, so its PID stays ours until Stop().
  if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid == 0;
}

std::optional<std::string> ChildProcess::ReadStdoutLine(std::chrono::milliseconds timeout) {
  if (stdout_fd_ < 0) return std::nullopt;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return line;
    }
    pollfd pfd{stdout_fd_, POLLIN, 0};
    const int ready = poll(&pfd, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char buffer[512];
    const ssize_t got = read(stdout_fd_, buffer, sizeof buffer);
    if (got <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
}

void ChildProcess::Stop(std::chrono::milliseconds grace) {
  if (stdout_fd_ >= 0) {
    close(stdout_fd_);
    stdout_fd_ = -1;
  }
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  const auto deadline = Clock::now() + grace;
  while (Running() && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  // The leader is alive or a zombie, so the group id is still ours: end what is left.
  kill(-pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

CommandResult RunCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         bool merge_stderr) {
  CommandResult result;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  if (merge_stderr) {
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  auto args = ArgvPointers(argv);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (rc != 0) {
    close(pipe_fds[0]);
    return result;
  }
  const auto deadline = Clock::now() + timeout;
  bool timed_out = false;
  for (;;) {
    pollfd pfd{pipe_fds[0], POLLIN, 0};
    const int ready = poll(&pfd, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timed_out = true;
      break;
    }
    char buffer[4096];
    const ssize_t got = read(pipe_fds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipe_fds[0]);
  if (timed_out) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

std::uint16_t FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  std::uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

int ListenOnLoopback(int backlog, std::uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

int ListenOnLoopback6(int backlog, std::uint16_t& port) {
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  (void)setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  port = ntohs(address.sin6_port);
  return fd;
}

namespace {

// One connection attempt; nullopt when the connection was refused.
std::optional<bool> TryGreeting(std::uint16_t port, const std::string& prefix,
                                Clock::time_point deadline) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  std::optional<bool> ok = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
      errno == EINPROGRESS) {
    std::string line;
    for (;;) {
      pollfd pfd{fd, POLLIN, 0};
      if (poll(&pfd, 1, RemainingMs(deadline)) <= 0) break;
      char c;
      const ssize_t got = recv(fd, &c, 1, 0);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (got < 0 && errno == ECONNREFUSED) {
        ok = std::nullopt;
        break;
      }
      if (got <= 0) break;
      if (c == '\n') {
        ok = line.rfind(prefix, 0) == 0;
        break;
      }
      line += c;
    }
  } else if (errno == ECONNREFUSED) {
    ok = std::nullopt;
  }
  close(fd);
  return ok;
}

}  // namespace

bool ReadGreeting(std::uint16_t port, const std::string& prefix,
                  std::chrono::milliseconds timeout) {
  // A server that is still starting refuses the connection: try again.
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto ok = TryGreeting(port, prefix, deadline);
    if (ok.has_value()) return *ok;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
}

std::optional<TlsFiles> MakeSelfSignedCertificate(const std::string& dir) {
  TlsFiles files{dir + "/cert.pem", dir + "/key.pem"};
  const auto result = RunCommand(
      {"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
       "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout",
       files.key, "-out", files.certificate},
      60s);
  if (result.exit_code != 0) return std::nullopt;
  chmod(files.key.c_str(), 0644);
  return files;
}

// ---------------------------------------------------------------- SMTP

SmtpServer::SmtpServer(SmtpServerOptions options) {
  dir_ = MakeTempDir("ksmtp-");
  if (dir_.empty()) return;
  maildir_ = dir_ + "/Maildir";
  std::vector<std::string> argv = {
      kPython,      std::string(KESTREL_SOURCE_DIR) + "/tests/servers/smtp_server.py",
      "--maildir",  maildir_,
      "--max-size", std::to_string(options.max_size)};
  if (options.refuse_data) argv.push_back("--refuse-data");
  for (const auto& address : options.refuse_recipients) {
    argv.insert(argv.end(), {"--refuse-rcpt", address});
  }
  if (options.starttls || options.require_starttls || options.implicit_tls) {
    const auto tls = MakeSelfSignedCertificate(dir_);
    if (!tls) return;
    argv.insert(argv.end(), {"--tls-cert", tls->certificate, "--tls-key", tls->key});
    if (options.require_starttls) argv.push_back("--require-starttls");
    if (options.implicit_tls) argv.push_back("--implicit-tls");
  }
  if (!options.xoauth2_user.empty()) {
    argv.insert(argv.end(), {"--xoauth2", options.xoauth2_user + ":" + options.xoauth2_token});
  }
  if (!options.auth_user.empty()) {
    argv.insert(argv.end(), {"--auth", options.auth_user + ":" + options.auth_password});
  }
  if (!process_.Start(argv, true, dir_ + "/server.log")) return;
  const auto line = process_.ReadStdoutLine(kStartTimeout);
  if (!line) return;
  port_ = static_cast<std::uint16_t>(std::atoi(line->c_str()));
  // An implicit-TLS server greets only after a handshake; its port line says it listens.
  running_ = port_ != 0 && (options.implicit_tls || ReadGreeting(port_, "220", kStartTimeout));
}

SmtpServer::~SmtpServer() {
  Stop();
  RemoveTree(dir_);
}

void SmtpServer::Stop() {
  process_.Stop();
  running_ = false;
}

std::vector<std::string> SmtpServer::MessageFiles() const {
  return MaildirMessageFiles(maildir_);
}

std::vector<std::string> SmtpServer::Messages() const {
  std::vector<std::string> messages;
  for (const auto& file : MessageFiles()) messages.push_back(ReadWholeFile(file));
  return messages;
}

bool SmtpServer::WaitForMessages(std::size_t count, std::chrono::milliseconds timeout) const {
  return WaitForMaildirMessages(maildir_, count, timeout);
}

std::vector<std::string> MaildirMessageFiles(const std::string& maildir) {
  std::vector<std::string> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(maildir + "/new", error)) {
    files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool WaitForMaildirMessages(const std::string& maildir, std::size_t count,
                            std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (MaildirMessageFiles(maildir).size() < count) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

std::string SmtpServer::ServerLog() const {
  return ReadWholeFile(dir_ + "/server.log");
}

std::vector<std::string> StoredRecipients(const std::string& message) {
  static const std::string kHead = "X-RcptTo: ";
  std::vector<std::string> recipients;
  const auto start = message.find(kHead);
  if (start == std::string::npos) return recipients;
  const auto end = message.find_first_of("\r\n", start);
  std::string list = message.substr(start + kHead.size(), end - start - kHead.size());
  std::size_t pos = 0;
  while (pos <= list.size()) {
    const auto comma = list.find(", ", pos);
    recipients.push_back(list.substr(pos, comma == std::string::npos ? comma : comma - pos));
    if (comma == std::string::npos) break;
    pos = comma + 2;
  }
  return recipients;
}

namespace {

// Runs tests/servers/<script> MESSAGE OUTDIR with a scratch OUTDIR; `take`
// reads what it printed and wrote there. False when the script failed.
bool RunMessageScript(
    const std::string& script, const std::string& message_file,
    const std::function<void(const std::string& output, const std::string& dir)>& take) {
  const std::string out_dir = MakeTempDir("kmsg-");
  if (out_dir.empty()) return false;
  const auto result =
      RunCommand({kPython, std::string(KESTREL_SOURCE_DIR) + "/tests/servers/" + script,
                  message_file, out_dir},
                 120s);
  if (result.exit_code == 0) take(result.output, out_dir);
  RemoveTree(out_dir);
  return result.exit_code == 0;
}

}  // namespace

std::optional<std::vector<MimePart>> ParseMimeMessage(const std::string& message_file) {
  std::vector<MimePart> parts;
  const bool ok = RunMessageScript(
      "mime_parts.py", message_file, [&](const std::string& output, const std::string& dir) {
        std::istringstream manifest(output);
        std::string line;
        while (std::getline(manifest, line)) {
          const auto tab1 = line.find('\t');
          const auto tab2 = line.find('\t', tab1 + 1);
          if (tab1 == std::string::npos || tab2 == std::string::npos) continue;
          MimePart part;
          part.content_type = line.substr(tab1 + 1, tab2 - tab1 - 1);
          part.filename = line.substr(tab2 + 1);
          part.content = ReadWholeFile(dir + "/" + line.substr(0, tab1));
          parts.push_back(std::move(part));
        }
      });
  if (!ok) return std::nullopt;
  return parts;
}

std::optional<std::map<std::string, std::string>> ReadAsMailReader(
    const std::string& message_file) {
  std::map<std::string, std::string> items;
  const bool ok = RunMessageScript("mail_reader.py", message_file,
                                   [&](const std::string& output, const std::string& dir) {
                                     std::istringstream names(output);
                                     std::string name;
                                     while (std::getline(names, name)) {
                                       if (!name.empty())
                                         items[name] = ReadWholeFile(dir + "/" + name);
                                     }
                                   });
  if (!ok) return std::nullopt;
  return items;
}

// ---------------------------------------------------------------- POP3

namespace {

// The owner of the mailbox: our unprivileged mail user as root (created when
// missing), else ourselves.
bool MailOwner(uid_t& uid, gid_t& gid) {
  if (geteuid() != 0) {
    uid = getuid();
    gid = getgid();
    return true;
  }
  const std::optional<SystemUser> user = UnprivilegedUser(kMailUser);
  if (!user) return false;
  uid = user->uid;
  gid = user->gid;
  return true;
}

void ChownTree(const std::string& root, uid_t uid, gid_t gid) {
  if (geteuid() != 0) return;
  (void)lchown(root.c_str(), uid, gid);
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(root, error)) {
    (void)lchown(entry.path().c_str(), uid, gid);
  }
}

std::string UserName(uid_t uid) {
  const passwd* entry = getpwuid(uid);
  return entry ? entry->pw_name : std::to_string(uid);
}

}  // namespace

Pop3Server::Pop3Server(Pop3ServerOptions options) : options_(std::move(options)) {
  if (!MailOwner(mail_uid_, mail_gid_)) return;
  // Short: dovecot's unix sockets live below it (108-byte path limit).
  dir_ = MakeTempDir("kd-");
  if (dir_.empty()) return;
  maildir_ = dir_ + "/mail/Maildir";
  for (const char* sub : {"/run", "/state"}) fs::create_directories(dir_ + sub);
  for (const char* sub : {"/new", "/cur", "/tmp"}) fs::create_directories(maildir_ + sub);
  ChownTree(dir_ + "/mail", mail_uid_, mail_gid_);
  {
    std::ofstream passwd(dir_ + "/passwd");
    passwd << options_.user << ":{PLAIN}" << options_.password << "::::::\n";
  }
  chmod((dir_ + "/passwd").c_str(), 0644);
  for (int attempt = 0; attempt < kPortTries && !running_; ++attempt) running_ = StartOnce();
}

bool Pop3Server::StartOnce() {
  port_ = FreeLoopbackPort();
  imap_port_ = FreeLoopbackPort();
  if (port_ == 0 || imap_port_ == 0 || imap_port_ == port_) return false;
  const bool tls = options_.implicit_tls || options_.offer_stls;
  std::optional<TlsFiles> cert;
  if (tls) {
    cert = MakeSelfSignedCertificate(dir_);
    if (!cert) return false;
  }
  std::ostringstream conf;
  conf << "base_dir = " << dir_ << "/run\n"
       << "state_dir = " << dir_ << "/state\n"
       << "log_path = " << dir_ << "/dovecot.log\n"
       << "protocols = pop3 imap\n"
       << "listen = 127.0.0.1\n"
       << "disable_plaintext_auth = no\n"
       << "auth_mechanisms = plain login"
       << (options_.oauth2_introspection_url.empty() ? "" : " xoauth2 oauthbearer") << "\n"
       << "first_valid_uid = " << mail_uid_ << "\n"
       << "last_valid_uid = 0\n"
       << "mail_location = maildir:" << maildir_ << "\n"
       << "pop3_uidl_format = %08Xu%08Xv\n"
       << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " << dir_ << "/passwd\n"
       << (options_.oauth2_introspection_url.empty() ? "" : "  mechanisms = plain login\n") << "}\n"
       << "userdb {\n  driver = static\n  args = uid=" << mail_uid_ << " gid=" << mail_gid_
       << " home=" << dir_ << "/mail\n}\n";
  if (!options_.oauth2_introspection_url.empty()) {
    std::ofstream oauth2(dir_ + "/oauth2.conf");
    oauth2 << "introspection_mode = post\nintrospection_url = " << options_.oauth2_introspection_url
           << "\nusername_attribute = username\nactive_attribute = active\nactive_value = true\n";
    conf << "passdb {\n  driver = oauth2\n  mechanisms = xoauth2 oauthbearer\n  args = " << dir_
         << "/oauth2.conf\n}\n";
  }
  if (!options_.separator.empty()) {
    conf << "namespace inbox {\n  inbox = yes\n  separator = " << options_.separator << "\n}\n";
  }
  if (tls) {
    conf << "ssl = yes\nssl_cert = <" << cert->certificate << "\nssl_key = <" << cert->key << "\n";
  } else {
    conf << "ssl = no\n";
  }
  if (geteuid() != 0) {
    const std::string me = UserName(getuid());
    conf << "default_internal_user = " << me << "\ndefault_login_user = " << me << "\n";
  }
  const int plain_port = options_.implicit_tls ? 0 : port_;
  const int tls_port = options_.implicit_tls ? port_ : 0;
  conf << "service pop3-login {\n"
       << "  inet_listener pop3 {\n    address = 127.0.0.1\n    port = " << plain_port << "\n  }\n"
       << "  inet_listener pop3s {\n    address = 127.0.0.1\n    port = " << tls_port
       << "\n    ssl = yes\n  }\n}\n"
       << "service imap-login {\n  inet_listener imap {\n    address = 127.0.0.1\n    port = "
       << (options_.implicit_tls ? 0 : imap_port_)
       << "\n  }\n  inet_listener imaps {\n    address = 127.0.0.1\n    port = "
       << (options_.implicit_tls ? imap_port_ : 0) << "\n    ssl = yes\n  }\n}\n";
  const std::string conf_file = dir_ + "/dovecot.conf";
  {
    std::ofstream out(conf_file, std::ios::trunc);
    out << conf.str();
  }
  if (!process_.Start({kDovecot, "-F", "-c", conf_file}, false, dir_ + "/stderr.log")) {
    return false;
  }
  const auto deadline = Clock::now() + kStartTimeout;
  while (Clock::now() < deadline && process_.Running()) {
    if (options_.implicit_tls) {
      // The greeting comes only through TLS: read it through a TLS client.
      const auto result = RunCommand(
          {kPython, "-c",
           "import socket,ssl,sys\n"
           "c=ssl._create_unverified_context()\n"
           "s=c.wrap_socket(socket.create_connection(('127.0.0.1',int(sys.argv[1])),timeout=2))\n"
           "print(s.recv(200).decode('ascii','replace'))",
           std::to_string(port_)},
          5s);
      if (result.output.rfind("+OK", 0) == 0) return true;
    } else if (ReadGreeting(port_, "+OK", 2s) && ReadGreeting(imap_port_, "* OK", 2s)) {
      return true;
    }
    std::this_thread::sleep_for(50ms);
  }
  process_.Stop();
  return false;
}

Pop3Server::~Pop3Server() {
  Stop();
  RemoveTree(dir_);
}

void Pop3Server::Stop() {
  process_.Stop();
  running_ = false;
}

std::string Pop3Server::AddMessage(const std::string& content) {
  char name[32];
  std::snprintf(name, sizeof name, "%06d.kestrel", ++added_);
  const std::string temp = maildir_ + "/tmp/" + name;
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << content;
  }
  if (geteuid() == 0) (void)chown(temp.c_str(), mail_uid_, mail_gid_);
  std::error_code error;
  fs::rename(temp, maildir_ + "/new/" + name, error);
  return name;
}

std::string Pop3Server::AddMessageFile(const std::string& path) {
  char name[32];
  std::snprintf(name, sizeof name, "%06d.kestrel", ++added_);
  const std::string temp = maildir_ + "/tmp/" + name;
  std::error_code error;
  fs::copy_file(path, temp, fs::copy_options::overwrite_existing, error);
  if (geteuid() == 0) (void)chown(temp.c_str(), mail_uid_, mail_gid_);
  fs::rename(temp, maildir_ + "/new/" + name, error);
  return name;
}

std::vector<std::string> Pop3Server::RemainingMessages() const {
  // dovecot moves a message from new/ to cur/ and appends ":2,FLAGS" to its name.
  std::vector<std::pair<std::string, std::string>> files;
  for (const char* sub : {"/new", "/cur"}) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(maildir_ + sub, error)) {
      const std::string name = entry.path().filename().string();
      files.emplace_back(name.substr(0, name.find(':')), entry.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> contents;
  for (const auto& [base, path] : files) contents.push_back(ReadWholeFile(path));
  return contents;
}

std::string Pop3Server::ImapClient(const std::string& statements) const {
  const std::string connect =
      options_.implicit_tls ? "imaplib.IMAP4_SSL('127.0.0.1', " + std::to_string(imap_port_) +
                                  ", ssl_context=ssl._create_unverified_context())"
                            : "imaplib.IMAP4('127.0.0.1', " + std::to_string(imap_port_) + ")";
  const std::string script = "import imaplib, ssl\nimap = " + connect + "\nimap.login('" +
                             options_.user + "', '" + options_.password +
                             "')\nimap.select('INBOX')\n" + statements + "\nimap.logout()\n";
  return RunCommand({kPython, "-c", script}, 30s, true).output;
}

std::string Pop3Server::ServerLog() const {
  return ReadWholeFile(dir_ + "/dovecot.log") + ReadWholeFile(dir_ + "/stderr.log");
}

}  // namespace kestrel::testing
