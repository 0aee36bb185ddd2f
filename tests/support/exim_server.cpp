// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/exim_server.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace kestrel::testing {

namespace fs = std::filesystem;

namespace {

// Exim runs itself again by this path for deliveries.
constexpr const char* kExim = "/usr/sbin/exim4";
// The user the Debian build runs as.
constexpr const char* kEximUser = "Debian-exim";
constexpr auto kStartTimeout = 20s;
constexpr auto kStopTimeout = 10s;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

EximServer::EximServer(EximOptions options) {
  const passwd* exim = getpwnam(kEximUser);
  if (geteuid() != 0 || !exim || access(kExim, X_OK) != 0) return;
  std::string templ = "/tmp/kexim-XXXXXX";
  if (!mkdtemp(templ.data())) return;
  dir_ = templ;
  chmod(dir_.c_str(), 0755);
  maildir_ = dir_ + "/mail/Maildir";
  std::error_code error;
  for (const char* sub : {"spool", "log", "mail"}) {
    fs::create_directories(dir_ + "/" + sub, error);
    if (chown((dir_ + "/" + sub).c_str(), exim->pw_uid, exim->pw_gid) != 0) return;
  }
  std::string tls = "tls_advertise_hosts =\n";
  if (options.starttls) {
    const std::optional<TlsFiles> files = MakeSelfSignedCertificate(dir_);
    // Exim reads them as its own user.
    if (!files || chown(files->key.c_str(), exim->pw_uid, exim->pw_gid) != 0) return;
    tls = "tls_advertise_hosts = *\ntls_certificate = " + files->certificate +
          "\ntls_privatekey = " + files->key + "\n";
  }
  port_ = FreeLoopbackPort();
  std::string refused;
  for (const std::string& local : options.refused_locals)
    refused += (refused.empty() ? "" : ":") + local;
  std::ofstream(dir_ + "/exim.conf", std::ios::binary)
      << "daemon_smtp_ports = " << port_ << "\n"
      << "local_interfaces = <; 127.0.0.1\n"
      << "spool_directory = " << dir_ << "/spool\n"
      << "log_file_path = " << dir_ << "/log/%slog\n"
      << "pid_file_path = " << dir_ << "/exim.pid\n"
      << "exim_user = " << kEximUser << "\nexim_group = " << kEximUser << "\n"
      << "never_users = root\nhost_lookup =\nrfc1413_hosts =\n"
      << tls << "primary_hostname = exim.example\n"
      << "smtp_accept_max_per_connection = " << options.max_per_connection << "\n"
      << "smtp_accept_queue_per_connection = 0\n"
      // A daemon started with -C delivers nothing at once: the queue is run
      // when the messages are asked for.
      << "queue_only = true\n"
      << "domainlist local_domains = example.org\n"
      << "acl_smtp_rcpt = check_rcpt\n"
      << "begin acl\ncheck_rcpt:\n"
      << (refused.empty() ? "" : "  deny local_parts = " + refused + "\n")
      << "  accept domains = +local_domains\n  deny\n"
      << "begin routers\nall:\n  driver = accept\n  transport = box\n"
      << "begin transports\nbox:\n  driver = appendfile\n  directory = " << maildir_ << "\n"
      << "  maildir_format\n  create_directory\n  user = " << kEximUser << "\n";
  // The daemon detaches and writes its id into its pid file.
  if (RunCommand({kExim, "-C", dir_ + "/exim.conf", "-bd"}, kStartTimeout, true).exit_code != 0)
    return;
  running_ = ReadGreeting(port_, "220", kStartTimeout);
}

EximServer::~EximServer() {
  pid_t daemon = 0;
  std::ifstream(dir_ + "/exim.pid") >> daemon;
  if (daemon > 0) kill(daemon, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
  while (daemon > 0 && kill(daemon, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  if (daemon > 0 && kill(daemon, 0) == 0) kill(daemon, SIGKILL);
  std::error_code error;
  if (!dir_.empty()) fs::remove_all(dir_, error);
}

std::vector<std::string> EximServer::MessageFiles() const {
  return MaildirMessageFiles(maildir_);
}

bool EximServer::WaitForMessages(std::size_t count, std::chrono::milliseconds timeout) const {
  (void)RunCommand({kExim, "-C", dir_ + "/exim.conf", "-qf"}, timeout, true);
  return WaitForMaildirMessages(maildir_, count, timeout);
}

std::string EximServer::ServerLog() const {
  return ReadText(dir_ + "/log/mainlog") + ReadText(dir_ + "/log/rejectlog");
}

}  // namespace kestrel::testing
