// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Real mail servers for tests, on 127.0.0.1 and a free port: an SMTP server
// (Debian's aiosmtpd, delivering into a Maildir) and a POP3 server (dovecot,
// serving a Maildir of an unprivileged user). Each object starts its server in
// the constructor, waits for the greeting, and stops exactly the process it
// started in Stop() or the destructor. Usable as root (CI) and as a user.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::testing {

using namespace std::chrono_literals;

// A program started by a test; stopped by its own PID (and its process group,
// which it leads, so a server's children go with it).
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (a full path). stdout_pipe: keep the child's standard
  // output readable through stdout_fd(); stderr goes to stderr_file (or
  // /dev/null when empty). False when the program could not be started.
  bool Start(const std::vector<std::string>& argv, bool stdout_pipe,
             const std::string& stderr_file);
  [[nodiscard]] bool Running();
  [[nodiscard]] pid_t pid() const { return pid_; }
  [[nodiscard]] int stdout_fd() const { return stdout_fd_; }
  // Reads one line of standard output, waiting at most `timeout`.
  [[nodiscard]] std::optional<std::string> ReadStdoutLine(std::chrono::milliseconds timeout);
  // SIGTERM, a bounded wait, then SIGKILL to the group; reaps the child.
  void Stop(std::chrono::milliseconds grace = 5s);

 private:
  pid_t pid_ = -1;
  int stdout_fd_ = -1;
  std::string pending_;
};

struct CommandResult {
  int exit_code = -1;  // -1: not started, killed or timed out
  std::string output;  // standard output (and error when merged)
};
// Runs a program to its end, at most `timeout`; argv[0] is a full path.
CommandResult RunCommand(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = 60s, bool merge_stderr = false);

// A port on 127.0.0.1 that was free a moment ago (0 when none could be found).
[[nodiscard]] std::uint16_t FreeLoopbackPort();

// A socket listening on 127.0.0.1 at a free port, which is stored in `port`;
// -1 when none could be opened.
[[nodiscard]] int ListenOnLoopback(int backlog, std::uint16_t& port);
// The same on ::1 (IPv6 only).
[[nodiscard]] int ListenOnLoopback6(int backlog, std::uint16_t& port);

// Connects to 127.0.0.1:port (again while it is refused) and reads the first
// line within `timeout`;
// true when it starts with `prefix`.
[[nodiscard]] bool ReadGreeting(std::uint16_t port, const std::string& prefix,
                                std::chrono::milliseconds timeout);

// A self-signed certificate for localhost / 127.0.0.1, made with openssl.
struct TlsFiles {
  std::string certificate;
  std::string key;
};
// Writes cert.pem and key.pem into dir; nullopt when openssl failed.
std::optional<TlsFiles> MakeSelfSignedCertificate(const std::string& dir);

struct SmtpServerOptions {
  bool refuse_data = false;                       // every DATA answered with "554 ..."
  std::vector<std::string> refuse_recipients;     // RCPT TO answered with "550 ..."
  std::uint64_t max_size = 256ull * 1024 * 1024;  // SIZE limit; big attachments pass
  bool starttls = false;                          // offer STARTTLS (self-signed)
  bool require_starttls = false;
  std::string auth_user;  // non-empty: AUTH LOGIN/PLAIN required
  std::string auth_password;
  std::string xoauth2_user;  // non-empty: AUTH XOAUTH2 with this bearer token required
  std::string xoauth2_token;
  bool implicit_tls = false;  // TLS from the first byte (self-signed), no STARTTLS
};

// One delivered message as the server stored it: three head lines X-Peer,
// X-MailFrom, X-RcptTo, then the message as received (CR LF, dots unstuffed).
// Full paths of the messages delivered to a Maildir's new/, in delivery order.
[[nodiscard]] std::vector<std::string> MaildirMessageFiles(const std::string& maildir);
// Waits (bounded) until a Maildir's new/ holds at least `count` messages.
[[nodiscard]] bool WaitForMaildirMessages(const std::string& maildir, std::size_t count,
                                          std::chrono::milliseconds timeout);

class SmtpServer {
 public:
  explicit SmtpServer(SmtpServerOptions options = {});
  ~SmtpServer();
  SmtpServer(const SmtpServer&) = delete;
  SmtpServer& operator=(const SmtpServer&) = delete;

  // True when the server answered its greeting.
  [[nodiscard]] bool running() const { return running_; }
  [[nodiscard]] std::uint16_t port() const { return port_; }
  [[nodiscard]] const std::string& maildir() const { return maildir_; }
  [[nodiscard]] const std::string& directory() const { return dir_; }
  // Full paths of the delivered messages, in delivery order.
  [[nodiscard]] std::vector<std::string> MessageFiles() const;
  [[nodiscard]] std::vector<std::string> Messages() const;
  // Waits (bounded) until at least `count` messages are stored.
  bool WaitForMessages(std::size_t count, std::chrono::milliseconds timeout = 10s) const;
  // The server's error output, for failure messages.
  [[nodiscard]] std::string ServerLog() const;
  void Stop();

 private:
  std::string dir_;
  std::string maildir_;
  std::uint16_t port_ = 0;
  bool running_ = false;
  ChildProcess process_;
};

// The recipients of a stored message (from its X-RcptTo line).
[[nodiscard]] std::vector<std::string> StoredRecipients(const std::string& message);

// One leaf part of a MIME message, decoded by Python's email package.
struct MimePart {
  std::string content_type;  // e.g. "application/octet-stream"
  std::string filename;      // empty when the part names none
  std::string content;       // decoded bytes
};
// Parses a stored message file; nullopt when the parser failed.
std::optional<std::vector<MimePart>> ParseMimeMessage(const std::string& message_file);

// A stored message as current mail readers see it (Python's
// email.policy.default): the items of tests/servers/mail_reader.py ("date" as
// ISO 8601, "message_id", "from_name", "to_name", "subject", "text",
// "text_charset", "filename", "defects", ...), UTF-8; an item the reader did
// not find is missing. Nothing when the reader failed.
[[nodiscard]] std::optional<std::map<std::string, std::string>> ReadAsMailReader(
    const std::string& message_file);

struct Pop3ServerOptions {
  std::string user = "fido";
  std::string password = "secret";
  bool implicit_tls = false;  // listen with TLS from the first byte (POP3S)
  bool offer_stls = false;    // plain listener that offers STLS (self-signed)
  // Non-empty: XOAUTH2 and OAUTHBEARER too, each token checked at this
  // introspection endpoint (RFC 7662) by dovecot's oauth2 passdb.
  std::string oauth2_introspection_url = "";
  // The IMAP hierarchy separator; empty: dovecot's own for a Maildir (".").
  std::string separator = "";
};

// dovecot serving one Maildir as a POP3 mailbox with a plain USER/PASS login,
// and as the IMAP INBOX of the same user on a second port.
class Pop3Server {
 public:
  explicit Pop3Server(Pop3ServerOptions options = {});
  ~Pop3Server();
  Pop3Server(const Pop3Server&) = delete;
  Pop3Server& operator=(const Pop3Server&) = delete;

  [[nodiscard]] bool running() const { return running_; }
  [[nodiscard]] std::uint16_t port() const { return port_; }
  // IMAP, with TLS from the first byte when implicit_tls is set.
  [[nodiscard]] std::uint16_t imap_port() const { return imap_port_; }
  [[nodiscard]] const std::string& user() const { return options_.user; }
  [[nodiscard]] const std::string& password() const { return options_.password; }
  [[nodiscard]] const std::string& maildir() const { return maildir_; }
  // Holds cert.pem when the server speaks TLS.
  [[nodiscard]] const std::string& directory() const { return dir_; }
  // Drops a message into the mailbox (Maildir/new, owned by the mail user);
  // returns its file name. Messages are listed in the order they were added.
  std::string AddMessage(const std::string& content);
  // The same for a message stored in a file (large messages stay out of memory).
  std::string AddMessageFile(const std::string& path);
  // Contents of the messages still in the mailbox, in the order they were added.
  [[nodiscard]] std::vector<std::string> RemainingMessages() const;
  [[nodiscard]] std::string ServerLog() const;
  // Runs Python statements as another IMAP client, with `imap` logged in
  // and INBOX selected; returns what they printed.
  [[nodiscard]] std::string ImapClient(const std::string& statements) const;
  void Stop();

 private:
  bool StartOnce();

  Pop3ServerOptions options_;
  std::string dir_;
  std::string maildir_;
  std::uint16_t port_ = 0;
  std::uint16_t imap_port_ = 0;
  bool running_ = false;
  uid_t mail_uid_ = 0;
  gid_t mail_gid_ = 0;
  int added_ = 0;
  ChildProcess process_;
};

}  // namespace kestrel::testing
