// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/postfix_server.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/system_user.h"

namespace kestrel::testing {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPostfix = "/usr/sbin/postfix";
constexpr const char* kMailUser = "kestrelmail";
constexpr auto kStartTimeout = 20s;
constexpr auto kStopTimeout = 10s;

// The services a loopback instance needs, chroot off; the smtpd line
// listens on the instance's own address.
constexpr const char* kServices =
    "pickup unix n - n 60 1 pickup\n"
    "cleanup unix n - n - 0 cleanup\n"
    "qmgr unix n - n 300 1 qmgr\n"
    "rewrite unix - - n - - trivial-rewrite\n"
    "bounce unix - - n - 0 bounce\n"
    "defer unix - - n - 0 bounce\n"
    "trace unix - - n - 0 bounce\n"
    "verify unix - - n - 1 verify\n"
    "flush unix n - n 1000? 0 flush\n"
    "proxymap unix - - n - - proxymap\n"
    "error unix - - n - - error\n"
    "retry unix - - n - - error\n"
    "discard unix - - n - - discard\n"
    "virtual unix - n n - - virtual\n"
    "anvil unix - - n - 1 anvil\n"
    "scache unix - - n - 1 scache\n"
    "postlog unix-dgram n - n - 1 postlogd\n";

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

PostfixServer::PostfixServer(PostfixOptions options) {
  const std::optional<SystemUser> user = UnprivilegedUser(kMailUser);
  if (geteuid() != 0 || !user) return;
  std::string templ = "/tmp/kpostfix-XXXXXX";
  if (!mkdtemp(templ.data())) return;
  dir_ = templ;
  chmod(dir_.c_str(), 0755);
  maildir_ = dir_ + "/mail/all/Maildir";
  std::error_code error;
  fs::create_directories(dir_ + "/queue", error);
  fs::create_directories(dir_ + "/data", error);
  fs::create_directories(dir_ + "/mail", error);
  if (chown((dir_ + "/mail").c_str(), user->uid, user->gid) != 0) return;
  if (const passwd* postfix = getpwnam("postfix")) {
    if (chown((dir_ + "/data").c_str(), postfix->pw_uid, postfix->pw_gid) != 0) return;
  }
  port_ = FreeLoopbackPort();
  if (port_ == 0) return;

  std::ostringstream main;
  main << "compatibility_level = 3.6\n"
       << "queue_directory = " << dir_ << "/queue\n"
       << "data_directory = " << dir_ << "/data\n"
       << "command_directory = /usr/sbin\n"
       << "daemon_directory = /usr/lib/postfix/sbin\n"
       << "meta_directory = /etc/postfix\n"
       << "shlib_directory = /usr/lib/postfix\n"
       << "mail_owner = postfix\nsetgid_group = postdrop\n"
       << "maillog_file = " << dir_ << "/postfix.log\n"
       << "maillog_file_prefixes = " << dir_ << "\n"
       << "inet_interfaces = 127.0.0.1\ninet_protocols = ipv4\n"
       << "myhostname = kestrel-test.example\nmydestination =\n"
       << "mynetworks = 127.0.0.0/8\nalias_maps =\nalias_database =\n"
       << "smtpd_recipient_restrictions = permit_mynetworks, reject\n"
       << "virtual_mailbox_domains = example.org\n"
       << "virtual_mailbox_base = " << dir_ << "/mail\n"
       << "virtual_mailbox_maps = static:all/Maildir/\n"
       << "virtual_uid_maps = static:" << user->uid << "\n"
       << "virtual_gid_maps = static:" << user->gid << "\n"
       << "default_transport = error:nothing leaves this test\n"
       << "relay_transport = error:nothing leaves this test\n"
       << "message_size_limit = " << options.message_size_limit << "\n";
  if (options.require_fqdn_helo) {
    main << "smtpd_helo_required = yes\n"
         << "smtpd_helo_restrictions = reject_non_fqdn_helo_hostname\n";
  }
  WriteText(dir_ + "/main.cf", main.str());
  WriteText(dir_ + "/master.cf",
            "127.0.0.1:" + std::to_string(port_) + " inet n - n - - smtpd\n" + kServices);
  // The master detaches; its id is in the instance's own pid file.
  if (RunCommand({kPostfix, "-c", dir_, "start"}, kStartTimeout, true).exit_code != 0) return;
  started_ = true;
  running_ = ReadGreeting(port_, "220", kStartTimeout);
}

PostfixServer::~PostfixServer() {
  if (started_) Stop();
  std::error_code error;
  if (!dir_.empty()) fs::remove_all(dir_, error);
}

// "postfix stop" for this instance, then, should its master still run, the
// master by the id it wrote.
void PostfixServer::Stop() {
  std::ifstream pid_file(dir_ + "/queue/pid/master.pid");
  pid_t master = 0;
  pid_file >> master;
  (void)RunCommand({kPostfix, "-c", dir_, "stop"}, kStartTimeout, true);
  const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
  while (master > 0 && kill(master, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  if (master > 0 && kill(master, 0) == 0) kill(master, SIGKILL);
}

std::vector<std::string> PostfixServer::MessageFiles() const {
  return MaildirMessageFiles(maildir_);
}

bool PostfixServer::WaitForMessages(std::size_t count, std::chrono::milliseconds timeout) const {
  return WaitForMaildirMessages(maildir_, count, timeout);
}

std::string PostfixServer::ServerLog() const {
  std::ifstream in(dir_ + "/postfix.log", std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace kestrel::testing
