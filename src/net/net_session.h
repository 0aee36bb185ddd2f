// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// One TCP conversation of one job with one mail server: set-up (local host
// name, resolution, port, socket, connect), the side's dialogue, close. Every
// wait sleeps in poll(), is bounded by NETTIMEOUT, shows the side's countdown
// and waiting indicator, and ends within 100 ms of a Stop (Aborted set from
// any thread). Failures are log lines plus an abort; nothing is thrown.
// The dialogue reports through the session in one way only: NoteShortfall
// for what it had to leave undone, Abort for what ended it; RunSession
// returns both as the connection's SessionOutcome.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/log.h"
#include "core/side.h"
#include "net/session_outcome.h"

namespace kestrel::net {

class Transport;

// Field sizes of the connection record.
inline constexpr std::size_t kMaxLocalHost = 127;
inline constexpr std::size_t kMaxServiceName = 10;
inline constexpr std::size_t kMaxServerHost = 255;
// A reply line: the first 255 characters of a line are kept, the rest dropped.
inline constexpr std::size_t kMaxReplyLine = 255;
// A POP3 command line: CR LF must fit behind it in 255 octets (RFC 1939,
// RFC 5034 for AUTH with its initial response).
inline constexpr std::size_t kMaxPop3CommandLine = 253;
// An SMTP command line: 512 octets with CR LF (RFC 5321 4.5.3.1.4).
inline constexpr std::size_t kMaxSmtpCommandLine = 510;
// An SMTP AUTH command with its initial response, and any SASL response line
// of either protocol: 12,288 octets with CR LF (RFC 4954 4), room for the
// bearer tokens large providers issue.
inline constexpr std::size_t kMaxSaslLine = 12286;
// A line of message data: RFC 5321 allows 1000 characters with CR LF.
inline constexpr std::size_t kMaxDataLine = 998;
// Message data gathered before it goes out in one send() (throughput).
inline constexpr std::size_t kOutputBufferBytes = 256 * 1024;

// Where a job connects and how long each network step may take; the sending
// and receiving parts fill it from their configuration keys.
struct Endpoint {
  std::string host;        // as configured; of "name:port", "[::1]:port" only the host counts
  std::uint16_t port = 0;  // 0: the service look-up, then default_port
  std::string service;     // the service name looked up ("smtp", "pop3")
  std::uint16_t default_port = 0;
  std::uint16_t timeout_seconds = 0;  // NETTIMEOUT
};

class NetSession;
namespace internal {
struct ConnectionState;
// The connection's own parts, for the code of this folder only.
[[nodiscard]] ConnectionState& StateOf(NetSession& session);
[[nodiscard]] const ConnectionState& StateOf(const NetSession& session);
}  // namespace internal

// How long a Stop waits for the dialogue's next step before it aborts (a
// server that stays silent would otherwise hold it for NETTIMEOUT).
inline constexpr int kStopGraceSeconds = 2;
// The reason of an abort that a Stop caused.
inline constexpr std::string_view kStoppedReason = "Stopped";
// The reason of an abort because the server closed the connection.
inline constexpr std::string_view kClosedReason = "Connection closed by the server";

// The side's dialogue, run by RunSession once the connection is up.
using Dialogue = std::function<void(NetSession&)>;

// The connection record of one job. Created on the worker thread; the job
// keeps it where the Stop command can reach Abort.
class NetSession {
 public:
  NetSession(core::Side side, const Endpoint& endpoint, core::Logger& logger);
  ~NetSession();
  NetSession(const NetSession&) = delete;
  NetSession& operator=(const NetSession&) = delete;

  // Sets the job's one abort switch and wakes the wait in progress at once;
  // safe from any thread. Set by failures, time-outs, the dialogues and, from
  // another thread, by Stop; never cleared. The first abort's reason is kept.
  void Abort(std::string_view reason);
  [[nodiscard]] bool IsAborted() const { return aborted_.load(); }
  // The switch itself, for waits below the session that watch it.
  [[nodiscard]] const std::atomic<bool>& abort_flag() const { return aborted_; }

  // Asks the dialogue to end at its next step with the goodbye its protocol
  // wants; safe from any thread. Inside message data, or when a wait goes on
  // for kStopGraceSeconds after the request, the session is aborted instead.
  void RequestStop();
  [[nodiscard]] bool StopRequested() const { return stop_requested_at_.load() >= 0; }
  // True once a requested stop has waited out its grace.
  [[nodiscard]] bool StopGraceOver() const;

  [[nodiscard]] core::Side side() const { return side_; }
  [[nodiscard]] core::Logger& logger() const { return logger_; }
  [[nodiscard]] std::uint16_t net_timeout() const;  // NETTIMEOUT in seconds
  // This host's name, at most kMaxLocalHost characters, or empty.
  [[nodiscard]] const std::string& local_host() const;
  // The server as configured, at most kMaxServerHost characters.
  [[nodiscard]] const std::string& server_host() const;
  [[nodiscard]] std::uint16_t port() const;  // host byte order
  // The address that answered, once connected.
  [[nodiscard]] const std::string& connected_address() const;

  // Something due was not done (a file kept, a mail left on the server),
  // though the dialogue goes on: the run must not report success. The
  // reply, when given, decides whether it is transient.
  void NoteShortfall(std::string what, std::string reply = {});
  void NoteShortfall(Shortfall shortfall);
  // The set-up is at fault (`what` names the part), not the server or the
  // day: the run ends with the configuration's exit status.
  void NoteMisconfigured(std::string what);
  // A walk looked at every head of its mailbox and the filters left this
  // many messages there; a later walk's count replaces it.
  void NoteLeftByFilters(std::uint64_t messages);
  // While a SuspendedLog lives, SendLine does not echo commands and LogLine()
  // keeps lines out of the log file (they still reach the pane).
  [[nodiscard]] bool log_suspended() const { return log_suspended_; }

  // The server closed the connection.
  [[nodiscard]] bool closed() const { return closed_; }
  void MarkClosed() { closed_ = true; }
  // A wait ran out of NETTIMEOUT (the session is aborted too).
  [[nodiscard]] bool timed_out() const { return timed_out_; }
  void MarkTimedOut() { timed_out_ = true; }

  // The outcome so far; safe from any thread.
  [[nodiscard]] SessionOutcome Outcome() const;

 private:
  friend class SuspendedLog;
  friend class MessageDataScope;
  friend internal::ConnectionState& internal::StateOf(NetSession& session);
  friend const internal::ConnectionState& internal::StateOf(const NetSession& session);
  friend bool Reconnect(NetSession& session);

  core::Side side_;
  core::Logger& logger_;
  std::unique_ptr<internal::ConnectionState> state_;
  std::atomic<bool> aborted_{false};
  std::atomic<std::int64_t> stop_requested_at_{-1};  // monotonic hundredths; -1: none
  // Message data flows in: a Stop then aborts at once.
  std::atomic<bool> in_message_data_{false};
  bool log_suspended_ = false;
  bool closed_ = false;
  bool timed_out_ = false;
  mutable std::mutex outcome_mutex_;  // guards the outcome
  SessionOutcome outcome_;
};

// Marks the session as inside message data for its lifetime, so that a Stop
// aborts at once rather than waiting for a step that ends gracefully.
class MessageDataScope {
 public:
  explicit MessageDataScope(NetSession& session) : session_(session) {
    session_.in_message_data_ = true;
  }
  ~MessageDataScope() { session_.in_message_data_ = false; }
  MessageDataScope(const MessageDataScope&) = delete;
  MessageDataScope& operator=(const MessageDataScope&) = delete;

 private:
  NetSession& session_;
};

// Suspends the session's log for its lifetime (message data, secrets) and
// then restores what was before.
class SuspendedLog {
 public:
  explicit SuspendedLog(NetSession& session)
      : session_(session), was_suspended_(session.log_suspended_) {
    session_.log_suspended_ = true;
  }
  ~SuspendedLog() { session_.log_suspended_ = was_suspended_; }
  SuspendedLog(const SuspendedLog&) = delete;
  SuspendedLog& operator=(const SuspendedLog&) = delete;

 private:
  NetSession& session_;
  bool was_suspended_;
};

// The whole conversation: set-up, `dialogue` when connecting succeeded, close.
// Returns how it ended (the details are in the log).
SessionOutcome RunSession(NetSession& session, const Dialogue& dialogue);

// Closes the connection (without a word: the server has ended it, or said
// it will take nothing more) and connects again to the addresses resolved
// before. False, with the log line and Aborted, when that fails.
[[nodiscard]] bool Reconnect(NetSession& session);

// Logs one line on the session's side; while the log is suspended, to the
// pane only.
void LogLine(NetSession& session, std::string_view text,
             core::LineKind kind = core::LineKind::Normal);

// Logs `line` and aborts the session with it, without its log mark ("-- "),
// as the reason.
void LogAndAbort(NetSession& session, std::string_view line,
                 core::LineKind kind = core::LineKind::Normal);

// Sends one command line with CR LF after any queued data; logs it behind
// "-> " while the side's log is open and not suspended. A line longer than
// `limit` is never cut: it is refused with a log line and Aborted.
void SendLine(NetSession& session, std::string_view text, std::size_t limit);
// The same with the limit of the side's protocol (SMTP or POP3).
void SendLine(NetSession& session, std::string_view text);

// Queues one line of message data, or a command to go out with the next one
// (cut to kMaxDataLine), with CR LF; it goes out when the buffer is full, or
// with the next command, read or FlushOutput.
// Logged like SendLine (message data runs with the log suspended).
void QueueLine(NetSession& session, std::string_view text);

// Queues lines of message data that are ready to go: each at most
// kMaxDataLine characters, each ended by CR LF, none starting with ".".
// Never logged (bulk data such as an attachment's BASE64 lines).
void QueueLines(NetSession& session, std::string_view lines);

// Sends everything queued; failure or time-out sets Aborted.
void FlushOutput(NetSession& session);

// Bulk reading for message data: bytes the line reader holds first, else
// waits (bounded, abortable) until data arrives and reads up to `capacity`
// bytes. 0 when none came: closed() when the server closed the
// connection, Aborted on time-out or failure.
[[nodiscard]] std::size_t ReceiveSome(NetSession& session, char* buffer, std::size_t capacity);

// Gives back bytes a bulk reader took beyond what it needed, so that the
// next reply is read from them first: the dialogue stays in step.
void PutBack(NetSession& session, std::string_view bytes);

// True when bytes were received that no reader has taken yet.
[[nodiscard]] bool HasBufferedInput(const NetSession& session);

}  // namespace kestrel::net
