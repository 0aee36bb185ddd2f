// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The state of one SMTP conversation, shared by its parts: the run over the
// send list (smtp_dialogue.cpp), the envelope (smtp_envelope.cpp), the
// transaction on the wire (smtp_transaction.cpp), the refusal rules
// (smtp_refusals.cpp), the choice between a whole message, pieces and a held
// file (smtp_whole_or_pieces.cpp), a message composed as it goes
// (smtp_composed_message.cpp) and the bookkeeping of a confirmed one
// (smtp_confirmation.cpp).

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "core/front_end.h"
#include "net/net_session.h"
#include "net/reply.h"
#include "net/step_result.h"
#include "outbound/send_list.h"
#include "send/base64_file_reader.h"
#include "send/file_message.h"
#include "send/learned_limits.h"
#include "send/message_identity.h"
#include "send/message_layout.h"
#include "send/message_pieces.h"
#include "send/message_stamp.h"
#include "send/session_sink.h"
#include "send/smtp_login.h"
#include "send/transfer_progress.h"

namespace kestrel::send {

class SmtpConversation {
 public:
  SmtpConversation(net::NetSession& session, outbound::SendList& list,
                   const config::Configuration& configuration)
      : session_(session),
        list_(list),
        configuration_(configuration),
        front_end_(session.logger().front_end()),
        sink_(session),
        header_template_(HeaderTemplatePath()),
        identity_(configuration),
        progress_(front_end_) {}
  SmtpConversation(const SmtpConversation&) = delete;
  SmtpConversation& operator=(const SmtpConversation&) = delete;

  // The whole conversation: ok, or the failure that ended it.
  [[nodiscard]] net::StepResult Run();

 private:
  void Log(const std::string& text) { net::LogLine(session_, text); }
  void Show(core::Field field, const std::string& text) { front_end_.SetField(field, text); }
  [[nodiscard]] bool Aborted() const { return session_.IsAborted(); }
  [[nodiscard]] int FirstPending();
  [[nodiscard]] const std::string& FileOf(const FileMessage& message, int entry) const {
    return send::FileOf(list_, message, entry);
  }
  [[nodiscard]] const config::RedirectEntry& RedirectOf(const outbound::SendEntry& entry) const {
    return send::RedirectOf(configuration_, entry);
  }
  void Pause(std::uint32_t milliseconds) const;

  struct Envelope {
    int accepted = 0;                     // first entry whose recipient the server accepted
    std::vector<std::string> recipients;  // every accepted address
    bool data_ready = false;              // "354" to DATA, or a chunk may follow
    bool refused = false;                 // the server refused this message: the file waits
    bool ended = false;  // the server ended the session first: the message goes on a new one
    std::optional<net::Reply> final_reply;  // the answer to a chunk sent with the envelope
  };
  // A message that goes as one counted chunk: its size and its writer.
  struct Chunk {
    std::uint64_t bytes = 0;
    std::function<net::StepResult()> write;
  };
  [[nodiscard]] std::vector<int> EntriesOfFile(const FileMessage& message) const {
    return send::EntriesOfFile(list_, message);
  }
  [[nodiscard]] Envelope SendEnvelope(FileMessage& message, const std::vector<int>& entries,
                                      std::optional<std::uint64_t> size,
                                      const Chunk* chunk = nullptr);
  void Command(const std::string& line);
  void MarkEntries(const std::vector<int>& entries, const std::vector<std::string>& addresses,
                   const std::vector<net::Reply>& answers, Envelope& envelope);
  [[nodiscard]] bool EndsSession(const net::Reply& reply);
  // Ok when a new connection is up.
  [[nodiscard]] net::StepResult Reopen();
  void RefuseSender(const FileMessage& message, const net::Reply& reply);
  void KeepRefused(const FileMessage& message, const std::string& why);
  [[nodiscard]] MessageStamp StampFor(const outbound::SendEntry& entry,
                                      const std::vector<std::string>& recipients) const {
    return identity_.StampFor(entry, recipients, session_.local_host());
  }
  [[nodiscard]] net::StepResult SendMessageText(FileMessage& message, const Envelope& envelope);
  [[nodiscard]] net::StepResult SendAttachment(FileMessage& message,
                                               const outbound::SendEntry& entry);
  [[nodiscard]] net::StepResult TransferFile(
      FileMessage& message, std::FILE* file, const std::string& name,
      std::uint64_t max_lines = Base64FileReader::kAllLines,
      std::optional<std::uint64_t> expected_bytes = std::nullopt);
  [[nodiscard]] net::Reply AwaitConfirmation();
  void RecordConfirmed(const FileMessage& message, const Envelope& envelope);
  [[nodiscard]] net::StepResult SendOneFile(FileMessage& message);
  void DropPacket(FileMessage& message);

  // Messages laid out before they go: SIZE=, limits and pieces.
  [[nodiscard]] bool LayOut(FileMessage& message);
  [[nodiscard]] net::StepResult SendLaidOut(FileMessage& message);
  void Hold(FileMessage& message, std::uint64_t bytes, std::uint64_t limit, const char* why);
  [[nodiscard]] net::StepResult SendInPieces(FileMessage& message, std::uint64_t target);
  enum class Outcome { Confirmed, Refused, Failed };
  [[nodiscard]] Outcome SendTransaction(FileMessage& message, std::vector<int>& entries,
                                        const LineCollector& piece_head, LineRange range,
                                        const std::string& remark, Envelope& envelope_r);
  [[nodiscard]] net::StepResult SendRange(FileMessage& message, LineRange range);
  [[nodiscard]] net::StepResult WriteData(FileMessage& message, const LineCollector& piece_head,
                                          LineRange range, const std::string& remark, bool chunked);
  [[nodiscard]] Outcome Judge(const FileMessage& message, const net::Reply& reply);
  [[nodiscard]] Outcome JudgeData(const FileMessage& message, std::uint64_t bytes,
                                  const net::Reply& reply);
  [[nodiscard]] std::uint64_t LimitFor(const outbound::SendEntry& entry) const;
  [[nodiscard]] net::StepResult Confirm(FileMessage& message, const Envelope& envelope);
  void LogSent(const FileMessage& message);

  net::NetSession& session_;
  outbound::SendList& list_;
  const config::Configuration& configuration_;
  core::FrontEnd& front_end_;
  SessionSink sink_;
  std::string header_template_;
  MessageIdentity identity_;
  LearnedLimits learned_;
  int entries_counter_ = 0;
  TransferProgress progress_;
  int boundary_ = 0;
  int sender_refusals_ = 0;
  bool give_up_ = false;  // the server will take no message from us this run
  ServerOffer offer_;
  bool needs_reset_ = false;  // a transaction was begun and not ended by a data reply
  // Addresses the server refused in this run, with its answer: not asked again.
  std::map<std::string, std::string> refused_;
  bool ended_ = false;        // the server ended the session: open a new one
  bool ended_open_ = false;   // ... though the connection is still open (QUIT it)
  std::string ended_why_;     // the server's words
  int session_messages_ = 0;  // confirmed on this connection
  int reconnections_ = 0;
  int fruitless_ = 0;     // reconnections in a row after a connection that took nothing
  int next_pending_ = 1;  // no entry before it is Pending
};

}  // namespace kestrel::send
