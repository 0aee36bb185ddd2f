// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/smtp_dialogue.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/link_events.h"
#include "core/stopwatch.h"
#include "core/text_utils.h"
#include "fido/charset_kludge.h"
#include "mime/base64.h"
#include "outbound/node_lock.h"
#include "outbound/record_sent.h"
#include "outbound/small_bundle.h"
#include "platform/clock.h"
#include "platform/file_names.h"
#include "platform/files.h"
#include "send/base64_file_reader.h"
#include "send/file_message.h"
#include "send/laid_out_file.h"
#include "send/learned_limits.h"
#include "send/line_sink.h"
#include "send/message_identity.h"
#include "send/message_layout.h"
#include "send/message_pieces.h"
#include "send/message_stamp.h"
#include "send/netmail_pack.h"
#include "send/piece_set.h"
#include "send/session_sink.h"
#include "send/smtp_login.h"
#include "send/smtp_reply.h"
#include "send/text_conversion.h"
#include "send/transfer_progress.h"

namespace kestrel::send {

namespace {

using core::Field;
using outbound::SendEntry;
using outbound::SendKind;
using outbound::SendState;
using Clock = std::chrono::steady_clock;

// The pause after RSET is this fraction of SENDPAUSE: 100 ms to its default 500.
constexpr std::uint32_t kResetPauseDivisor = 5;
// Slices of the pauses, so that a Stop is seen within them.
constexpr auto kPauseSlice = std::chrono::milliseconds(20);
// Connections opened again in one run after the server ended one: room for
// a hub's queue under a per-connection message limit, and no end of calls
// to a server that ends every session.
constexpr int kMaxReconnections = 50;
// Of those, in a row after a connection that took no message.
constexpr int kMaxFruitlessReconnections = 2;
// A counted chunk up to this size goes with the envelope commands, in one
// round trip; a larger one waits for their answers, so that a refused
// message is not uploaded.
constexpr std::uint64_t kGroupedChunkBytes = 256 * 1024;

// The size of a file as the progress fields count it; 0 when it cannot be read.
std::int64_t FileSizeOf(const std::string& path) {
  const auto size = platform::FileSize(path);
  if (!size) return 0;
  return static_cast<std::int64_t>(std::min<std::uint64_t>(*size, INT64_MAX));
}

class Dialogue {
 public:
  Dialogue(net::NetSession& session, outbound::SendList& list,
           const config::Configuration& configuration)
      : session_(session),
        list_(list),
        configuration_(configuration),
        front_end_(session.logger().front_end()),
        sink_(session),
        header_template_(HeaderTemplatePath()),
        identity_(configuration),
        progress_(front_end_) {}

  void Run();

 private:
  void Log(const std::string& text) { net::LogLine(session_, text); }
  void Show(Field field, const std::string& text) { front_end_.SetField(field, text); }
  [[nodiscard]] bool Aborted() const { return session_.IsAborted(); }
  [[nodiscard]] int FirstPending() const;
  [[nodiscard]] const std::string& FileOf(const FileMessage& message, int entry) const {
    return send::FileOf(list_, message, entry);
  }
  [[nodiscard]] const config::RedirectEntry& RedirectOf(const SendEntry& entry) const {
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
    std::function<void()> write;
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
  [[nodiscard]] bool Reopen();
  void RefuseSender(const FileMessage& message, const net::Reply& reply);
  void KeepRefused(const FileMessage& message, const std::string& why);
  [[nodiscard]] MessageStamp StampFor(const SendEntry& entry,
                                      const std::vector<std::string>& recipients) const {
    return identity_.StampFor(entry, recipients, session_.local_host());
  }
  void SendMessageText(FileMessage& message, const Envelope& envelope);
  void SendAttachment(FileMessage& message, const SendEntry& entry);
  void TransferFile(FileMessage& message, std::FILE* file, const std::string& name,
                    std::uint64_t max_lines = Base64FileReader::kAllLines,
                    std::optional<std::uint64_t> expected_bytes = std::nullopt);
  [[nodiscard]] net::Reply AwaitConfirmation();
  void RecordConfirmed(const FileMessage& message, const Envelope& envelope);
  void SendOneFile(FileMessage& message);
  void DropPacket(FileMessage& message);

  // Messages laid out before they go: SIZE=, limits and pieces.
  [[nodiscard]] bool LayOut(FileMessage& message);
  void SendLaidOut(FileMessage& message);
  void Hold(FileMessage& message, std::uint64_t bytes, std::uint64_t limit, const char* why);
  void SendInPieces(FileMessage& message, std::uint64_t target);
  enum class Outcome { Confirmed, Refused, Failed };
  [[nodiscard]] Outcome SendTransaction(FileMessage& message, std::vector<int>& entries,
                                        const LineCollector& piece_head, LineRange range,
                                        const std::string& remark, Envelope& envelope_r);
  void SendRange(FileMessage& message, LineRange range);
  void WriteData(FileMessage& message, const LineCollector& piece_head, LineRange range,
                 const std::string& remark, bool chunked);
  [[nodiscard]] Outcome Judge(const FileMessage& message, const net::Reply& reply);
  [[nodiscard]] Outcome JudgeData(const FileMessage& message, std::uint64_t bytes,
                                  const net::Reply& reply);
  [[nodiscard]] std::uint64_t LimitFor(const SendEntry& entry) const;
  void Confirm(FileMessage& message, const Envelope& envelope);
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
  int fruitless_ = 0;  // reconnections in a row after a connection that took nothing
};

int Dialogue::FirstPending() const {
  for (int i = 1; i <= list_.Count(); ++i) {
    if (list_.Entry(i).State == SendState::Pending) return i;
  }
  return 0;
}

void Dialogue::Pause(std::uint32_t milliseconds) const {
  if (milliseconds == 0) return;
  const std::int64_t until = platform::MonotonicHundredths() + (milliseconds + 9) / 10;
  while (!Aborted() && platform::MonotonicHundredths() < until) {
    std::this_thread::sleep_for(kPauseSlice);
  }
}

// A command of the envelope: with PIPELINING it waits in the output for the
// others of its group, else it goes at once.
void Dialogue::Command(const std::string& line) {
  if (offer_.pipelining) {
    net::QueueLine(session_, line);
  } else {
    net::SendLine(session_, line);
  }
}

// A 421, or a connection the server closed: it takes nothing more on this
// connection, though it may on the next.
bool Dialogue::EndsSession(const net::Reply& reply) {
  if (Aborted() || !(HasCode(reply, 421) || reply.status == net::ReplyStatus::Closed)) {
    return false;
  }
  ended_ = true;
  ended_open_ = false;
  ended_why_ = reply.ok() ? reply.last() : "connection closed";
  return true;
}

// The entries' states after the answers to their addresses (`answers[k]`
// to `addresses[k]`): accepted ones are taken, the others stay listed.
void Dialogue::MarkEntries(const std::vector<int>& entries,
                           const std::vector<std::string>& addresses,
                           const std::vector<net::Reply>& answers, Envelope& envelope) {
  for (const int i : entries) {
    if (Aborted()) break;
    SendEntry& entry = list_.Entry(i);
    const std::string& address = RedirectOf(entry).EmailAddress;
    const auto asked = std::find(addresses.begin(), addresses.end(), address);
    const bool accepted = asked != addresses.end() &&
                          static_cast<std::size_t>(asked - addresses.begin()) < answers.size() &&
                          answers[asked - addresses.begin()].code / 100 == 2;
    if (accepted) {
      if (entry.State != SendState::Taken) {
        ++entries_counter_;
        Show(Field::FilesSent, std::to_string(entries_counter_));
        entry.State = SendState::Taken;
      }
      if (envelope.accepted == 0) envelope.accepted = i;
      if (std::find(envelope.recipients.begin(), envelope.recipients.end(), address) ==
          envelope.recipients.end()) {
        envelope.recipients.push_back(address);
      }
      continue;
    }
    // Refused: this system's copy stays listed on disk for the next run.
    entry.State = SendState::Skipped;
    const auto refusal = refused_.find(address);
    session_.NoteShortfall(entry.Path + " for " + address,
                           refusal == refused_.end() ? std::string() : refusal->second);
    if (asked != addresses.end()) {
      Log("--   Recipient refused, file kept for the next run (" + address + ")");
      (void)core::RecordLinkEvent(core::LinkEventKind::Refused, RedirectOf(entry).Address,
                                  refusal == refused_.end() ? std::string() : refusal->second);
    } else {
      Log("--   Recipient refused earlier in this run, file kept for the next run (" + address +
          ")");
    }
  }
}

// RSET when a transaction was left open, MAIL FROM (with SIZE= when known and
// offered), one RCPT TO per address of `entries` (one file listed twice for
// a system, in two flow files of its node, goes to it once) and DATA, or
// with CHUNKING the chunk's BDAT. With PIPELINING they go as one group, a
// small chunk with them, and the answers are read in order after it; else
// each waits for its answer. Entries whose recipient is refused, now or
// earlier in this run, leave `entries`; they stay listed on disk.
Dialogue::Envelope Dialogue::SendEnvelope(FileMessage& message, const std::vector<int>& entries,
                                          std::optional<std::uint64_t> size, const Chunk* chunk) {
  Envelope envelope;
  std::vector<std::string> addresses;
  for (const int i : entries) {
    const std::string& address = RedirectOf(list_.Entry(i)).EmailAddress;
    if (!refused_.contains(address) &&
        std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
      addresses.push_back(address);
    }
  }
  const bool group = offer_.pipelining;
  const bool reset = needs_reset_ && !addresses.empty();
  const bool grouped_chunk = group && chunk && chunk->bytes <= kGroupedChunkBytes;
  // The group ends with DATA, or the chunk's BDAT: answered after the RCPTs.
  const bool data_in_group = group && (!chunk || grouped_chunk);
  net::Reply sender;
  std::vector<net::Reply> answers;  // one per address asked
  if (!addresses.empty()) {
    if (reset) {
      Command("RSET");
      needs_reset_ = false;
      if (!group) {
        (void)ReadSmtpReply(session_);
        Pause(configuration_.SENDPAUSE / kResetPauseDivisor);
      }
    }
    const bool with_size = size && offer_.size.announced;
    Command("MAIL FROM:<" + configuration_.FROMEMAIL + ">" +
            (with_size ? " SIZE=" + std::to_string(*size) : std::string()));
    if (!group) sender = ReadSmtpReply(session_);
    for (const std::string& address : addresses) {
      if (Aborted() || (!group && !HasCode(sender, 250))) break;
      Command("RCPT TO:<" + address + ">");
      if (group) continue;
      answers.push_back(ReadSmtpReply(session_));
      if (EndsSession(answers.back())) break;
    }
    const bool any = std::any_of(answers.begin(), answers.end(),
                                 [](const net::Reply& r) { return r.ok() && r.code / 100 == 2; });
    if (group || any) {
      if (!chunk) {
        Command("DATA");
      } else if (grouped_chunk) {
        Command("BDAT " + std::to_string(chunk->bytes) + " LAST");
        chunk->write();
      }
    }
    if (group) {
      net::FlushOutput(session_);
      if (reset) (void)ReadSmtpReply(session_);
      sender = ReadSmtpReply(session_);
      for (std::size_t k = 0; k < addresses.size() && sender.ok(); ++k) {
        answers.push_back(ReadSmtpReply(session_));
        if (!answers.back().ok()) break;
      }
    }
    if (EndsSession(sender)) envelope.ended = true;
    if (envelope.ended || Aborted()) return envelope;
    if (!HasCode(sender, 250)) {
      // RFC 1870 6.1: 552 and 452 refuse this message's size, not the sender.
      if (size && offer_.size.announced && (HasCode(sender, 552) || HasCode(sender, 452))) {
        KeepRefused(message, sender.last());
        envelope.refused = true;
      } else {
        RefuseSender(message, sender);
      }
      // What the group carried after the MAIL is answered too.
      if (data_in_group) (void)ReadSmtpReply(session_);
      return envelope;
    }
    needs_reset_ = true;
    for (const net::Reply& answer : answers) {
      if (EndsSession(answer)) envelope.ended = true;
    }
    // Every recipient "452" on a connection that already carried messages:
    // its limit of messages, not the addresses' fault.
    if (!envelope.ended && session_messages_ > 0 && answers.size() == addresses.size() &&
        std::all_of(answers.begin(), answers.end(),
                    [](const net::Reply& r) { return HasCode(r, 452); })) {
      ended_ = true;
      ended_open_ = true;
      ended_why_ = answers.back().last();
      envelope.ended = true;
      if (data_in_group) (void)ReadSmtpReply(session_);
    }
    if (envelope.ended || Aborted()) return envelope;
    for (std::size_t k = 0; k < answers.size(); ++k) {
      if (!(answers[k].code / 100 == 2)) refused_[addresses[k]] = answers[k].last();
    }
  }

  MarkEntries(entries, addresses, answers, envelope);
  if (addresses.empty() || Aborted()) return envelope;
  if (envelope.accepted == 0) {
    // The DATA or chunk of the group meets no recipient: its refusal is read.
    if (data_in_group) {
      const net::Reply data = ReadSmtpReply(session_);
      // A server that would read data without a recipient is not followed.
      if (HasCode(data, 354)) session_.Abort("354 without a recipient");
    }
    return envelope;
  }
  if (!chunk) {
    // Without "354" the server is not reading data: the message lines would
    // arrive as commands.
    const net::Reply data = ReadSmtpReply(session_);
    if (EndsSession(data)) {
      envelope.ended = true;
      return envelope;
    }
    envelope.data_ready = HasCode(data, 354);
  } else if (grouped_chunk) {
    envelope.final_reply = AwaitConfirmation();
    envelope.data_ready = true;
  } else {
    envelope.data_ready = true;
  }
  return envelope;
}

// The server refused this one message (its size, its content): its file
// stays listed for the next run, and the others still go.
void Dialogue::KeepRefused(const FileMessage& message, const std::string& why) {
  const std::string path = FileOf(message, message.current);
  for (int i = 1; i <= list_.Count(); ++i) {
    SendEntry& entry = list_.Entry(i);
    if (FileOf(message, i) != path || (i != message.current && entry.State != SendState::Pending &&
                                       entry.State != SendState::Taken)) {
      continue;
    }
    entry.State = SendState::Skipped;
    const config::RedirectEntry& redirect = RedirectOf(entry);
    Log("-- Refused " + path + " for " + redirect.Address + " (" + redirect.EmailAddress +
        "): " + why);
    (void)core::RecordLinkEvent(core::LinkEventKind::Refused, redirect.Address, why);
  }
  session_.NoteShortfall(path, why);
}

// A refused sender ends the message's transaction before any recipient; its
// file stays as it is. A permanent refusal, or a second one, would meet every
// further message too.
void Dialogue::RefuseSender(const FileMessage& message, const net::Reply& reply) {
  const std::string path = FileOf(message, message.current);
  for (int i = 1; i <= list_.Count(); ++i) {
    SendEntry& entry = list_.Entry(i);
    if (FileOf(message, i) == path && entry.State == SendState::Pending) {
      entry.State = SendState::Skipped;
    }
  }
  list_.Entry(message.current).State = SendState::Skipped;
  session_.NoteShortfall(path, reply.last());
  Log("--   Sender refused, file kept for the next run (" + reply.last() + ")");
  if (reply.code / 100 == 5 || ++sender_refusals_ > 1) {
    Log("-- The server refuses the sender " + configuration_.FROMEMAIL + ", no more messages");
    give_up_ = true;
  }
}

void Dialogue::TransferFile(FileMessage& message, std::FILE* file, const std::string& name,
                            std::uint64_t max_lines, std::optional<std::uint64_t> expected_bytes) {
  message.file_size_text = std::to_string(message.size);
  progress_.StartFile(name, message.size, list_.TotalBytes);
  Base64FileReader reader(file, max_lines);
  Base64FileReader::Lines lines;
  // A server that closed takes no more: its answer, or its silence, ends it.
  while (!Aborted() && !session_.closed() && reader.Next(lines)) {
    // A file grown since it was counted must not put one byte more on the
    // wire than announced: a counted chunk would end inside it.
    if (expected_bytes && reader.bytes_read() > *expected_bytes) break;
    net::QueueLines(session_, lines.text);
    if (progress_.Advance(lines.data_bytes)) message.lock.KeepFresh();
  }
  if (session_.closed()) {
    // Nothing to add: the answer read next tells what became of it.
  } else if (reader.failed()) {
    // What went out is incomplete: the message must not be ended with ".".
    net::LogAndAbort(session_, "-- Error reading " + FileOf(message, message.current));
  } else if (expected_bytes && !Aborted() && reader.bytes_read() != *expected_bytes) {
    // Not what was announced and counted: the message must not be ended.
    net::LogAndAbort(session_,
                     "-- " + FileOf(message, message.current) + " changed while it was sent");
  }
  if (const auto speed = progress_.FinishFile()) {
    Log("-- Speed was " + std::to_string(*speed) + " characters per second (CPS)");
  }
}

void Dialogue::SendAttachment(FileMessage& message, const SendEntry& entry) {
  // The log shows the real name; the message too, unless UPPERCASENAMES
  // asks a listed file or packet in upper case.
  const std::string& path = FileOf(message, message.current);
  const std::string real_name = platform::BaseName(path);
  const bool upper_case = configuration_.UPPERCASENAMES && (entry.Kind == SendKind::ListedFile ||
                                                            entry.Kind == SendKind::OutboundPacket);
  const std::string name = upper_case ? core::UpperCase(real_name) : real_name;
  SendTemplateTextPart(sink_, boundary_,
                       ExpandSubjectTemplate(configuration_.SUBJECT, name, message.size),
                       header_template_, name, message.size);
  platform::UniqueFile file = platform::OpenFile(path, "rb");
  if (!file) {
    message.unable_to_open = true;
    return;
  }
  if (entry.Kind == SendKind::NetmailPacket) {
    Log("-- Sending " + platform::BaseName(entry.Path) + " as " + real_name);
  } else {
    Log("-- Sending " + real_name + " " + std::to_string(message.size) + "b");
  }
  SendAttachmentHead(sink_, boundary_,
                     entry.Kind == SendKind::OutboundPacket ? RandomPacketName() : name);
  TransferFile(message, file.get(), real_name);
  sink_.SendLine("");
}

void Dialogue::SendMessageText(FileMessage& message, const Envelope& envelope) {
  SendEntry& entry = list_.Entry(message.current);
  message.size = FileSizeOf(entry.Path);
  const MessageStamp stamp = StampFor(entry, envelope.recipients);
  message.message_id = stamp.message_id;
  SendMessageHead(sink_, boundary_, RedirectOf(entry), configuration_, stamp);
  TextSendContext text{sink_,
                       front_end_,
                       header_template_,
                       boundary_,
                       progress_.sent_total(),
                       list_.TotalBytes,
                       fido::IconvCharsetName(configuration_.FIDOCHARSET)};
  if (entry.Kind == SendKind::NetmailText) {
    message.unable_to_open = !SendNetmailAsText(text, entry.Path, message.size);
    message.file_size_text = message.unable_to_open ? "" : std::to_string(message.size);
    return;
  }
  if (entry.Kind == SendKind::OutboundPacket && RedirectOf(entry).SendAsText) {
    message.unable_to_open = !SendPacketAsText(text, entry.Path, message.size);
    return;
  }
  if (entry.Kind == SendKind::NetmailPacket) {
    const PackedNetmail packed = PackNetmail(entry.Path, message.size, list_, sink_, front_end_);
    message.packet_path = packed.path;
    message.packet_written = packed.size.has_value();
    message.size = packed.size ? *packed.size : FileSizeOf(packed.path);
  }
  SendAttachment(message, entry);
}

net::Reply Dialogue::AwaitConfirmation() {
  // Replies other than a final one (a stray "354", say) are passed over, for
  // NETTIMEOUT at most.
  const auto until = Clock::now() + std::chrono::seconds(configuration_.NETTIMEOUT);
  for (;;) {
    net::Reply reply = ReadSmtpReply(session_);
    const int kind = reply.code / 100;
    if (!reply.ok() || reply.code == 250 || kind == 4 || kind == 5 || Clock::now() > until) {
      return reply;
    }
  }
}

void Dialogue::SendOneFile(FileMessage& message) {
  if (LayOut(message)) {
    SendLaidOut(message);
    return;
  }
  // Text, packed netmail, a file that cannot be opened: composed as it goes.
  Envelope envelope = SendEnvelope(message, EntriesOfFile(message), std::nullopt);
  while (envelope.ended && Reopen()) {
    envelope = SendEnvelope(message, EntriesOfFile(message), std::nullopt);
  }
  if (envelope.ended) return;
  // Every recipient refused: nothing goes, the entries stay listed on disk.
  if (envelope.accepted == 0 && !Aborted()) return;
  if (!envelope.data_ready) {
    net::LogAndAbort(session_, "-- Error sending aborting!");
    return;
  }
  boundary_ = DrawBoundaryNumber();
  {
    const net::SuspendedLog quiet(session_);
    SendMessageText(message, envelope);
    SendClosing(sink_, boundary_);
  }

  progress_.ShowMessageDone(message.file_size_text);
  const net::Reply reply = AwaitConfirmation();

  bool confirmed = false;
  if (message.unable_to_open) {
    Log("-- Unable to open " + FileOf(message, message.current));
    session_.NoteShortfall(FileOf(message, message.current));
  } else if (Judge(message, reply) == Outcome::Confirmed) {
    confirmed = true;
    Confirm(message, envelope);
  }
  if (!confirmed) DropPacket(message);
}

// The answer to the end of the data. A refusal of this message (4xx, 5xx)
// holds back only its file, a 421 too, and the next message goes on a new
// connection; a lost connection or a time-out ends the job.
Dialogue::Outcome Dialogue::Judge(const FileMessage& message, const net::Reply& reply) {
  if (HasCode(reply, 250) && !Aborted()) {
    needs_reset_ = false;
    ++session_messages_;
    return Outcome::Confirmed;
  }
  const int kind = reply.code / 100;
  if (reply.ok() && !Aborted() && (kind == 4 || kind == 5)) {
    // The data's answer ends the transaction; a 421 ends the session too,
    // and the next message goes on a new one.
    needs_reset_ = false;
    (void)EndsSession(reply);
    KeepRefused(message, reply.last());
    return Outcome::Refused;
  }
  net::LogAndAbort(session_, "-- Error sending aborting!");
  return Outcome::Failed;
}

void Dialogue::Confirm(FileMessage& message, const Envelope& envelope) {
  Log("-- Message sent!");
  RecordConfirmed(message, envelope);
  LogSent(message);
  DropPacket(message);
  const outbound::RecordResult recorded =
      outbound::RecordSent(list_, envelope.accepted, session_.logger(), configuration_);
  // A file left queued is recorded, so that no later run mails it again.
  if (const auto failure = identity_.RecordUntidied(message.message_id, list_, recorded.untidied))
    Log(*failure);
  if (recorded.not_tidied) session_.NoteShortfall(FileOf(message, message.current));
  if (recorded.io_error) session_.Abort(recorded.failure);
  Pause(configuration_.SENDPAUSE);
}

// One line per system that got the file, for the sysop reading the log later.
void Dialogue::LogSent(const FileMessage& message) {
  const std::string& path = FileOf(message, message.current);
  std::set<std::string> told;
  for (int i = 1; i <= list_.Count(); ++i) {
    const SendEntry& entry = list_.Entry(i);
    if (entry.State != SendState::Taken || FileOf(message, i) != path) continue;
    const config::RedirectEntry& redirect = RedirectOf(entry);
    if (!told.insert(redirect.Address + " " + redirect.EmailAddress).second) continue;
    Log("-- Sent " + entry.Path + " to " + redirect.Address + " (" + redirect.EmailAddress + "), " +
        std::to_string(message.size) + " bytes");
  }
}

// A file as attachment is laid out whole before its envelope, so that its
// size is known: false (composed as it goes) for other messages and for a
// file that cannot be opened.
bool Dialogue::LayOut(FileMessage& message) {
  const SendEntry& entry = list_.Entry(message.current);
  if (!LaysOut(entry, RedirectOf(entry)) || !OpenToLayOut(entry.Path, message.laid_out)) {
    return false;
  }
  message.size = static_cast<std::int64_t>(
      std::min<std::uint64_t>(message.laid_out.laid.file_bytes, INT64_MAX));
  message.file_size_text = std::to_string(message.size);
  message.stamp = StampFor(entry, PlannedRecipients(list_, message, configuration_));
  message.message_id = message.stamp.message_id;
  // The template's remarks reach the pane only, as while the data flows.
  const net::SuspendedLog quiet(session_);
  LayOutFileMessage(message.laid_out, entry, message.size,
                    {RedirectOf(entry), configuration_, header_template_, message.stamp}, sink_);
  return true;
}

void Dialogue::SendLaidOut(FileMessage& message) {
  const std::uint64_t bytes = message.laid_out.laid.Bytes();
  const std::uint64_t limit = LimitFor(list_.Entry(message.current));
  const std::uint64_t target = MessageTarget(limit);
  if (limit > 0 && bytes > target) {
    if (configuration_.SPLITLARGE) {
      SendInPieces(message, target);
    } else {
      Hold(message, bytes, limit, "SPLITLARGE 0");
    }
    return;
  }
  const std::string& path = list_.Entry(message.current).Path;
  std::vector<int> entries = EntriesOfFile(message);
  Envelope envelope;
  if (SendTransaction(message, entries, LineCollector(), {0, message.laid_out.laid.LineCount()},
                      "-- Sending " + platform::BaseName(path) + " " + message.file_size_text + "b",
                      envelope) == Outcome::Confirmed) {
    Confirm(message, envelope);
  }
}

// Too large for the server and not to be split: nothing is uploaded, the
// file waits listed.
void Dialogue::Hold(FileMessage& message, std::uint64_t bytes, std::uint64_t limit,
                    const char* why) {
  const std::string path = list_.Entry(message.current).Path;
  Log("-- Held " + path + ": " + std::to_string(bytes) + " bytes as a message, limit " +
      std::to_string(limit) + " (" + why + ")");
  for (const int i : EntriesOfFile(message)) list_.Entry(i).State = SendState::Skipped;
  session_.NoteShortfall(net::Shortfall{path, {}, net::Permanence::Permanent});
}

// The message as pieces of "message/partial" (RFC 2046 5.2.2), each its own
// transaction under the limit. The file is done only when every piece is
// confirmed; each confirmed piece is recorded, and a set cut short goes on
// at its first unconfirmed piece next run, under the same set id (a new one
// only when the record says the whole set was confirmed).
void Dialogue::SendInPieces(FileMessage& message, std::uint64_t target) {
  const SendEntry& entry = list_.Entry(message.current);
  const PieceSet set(RedirectOf(entry), configuration_, message.stamp, message.laid_out.subject);
  const std::vector<LineRange> pieces = set.Cut(message.laid_out.laid, target);
  if (pieces.empty()) {
    Hold(message, message.laid_out.laid.Bytes(), LimitFor(entry), "it cannot be split");
    return;
  }
  const std::uint64_t total = pieces.size();
  const std::string path = platform::ResolveName(entry.Path);
  const std::string node = RedirectOf(entry).Address;
  // The last piece goes again even when recorded: the set's own record is
  // what says it went whole.
  std::uint64_t first = 1;
  while (first < total &&
         identity_.HasPiece(message.message_id, first, total,
                            PlannedRecipients(list_, message, configuration_), path)) {
    ++first;
  }
  if (first > 1) {
    Log("-- Pieces 1 to " + std::to_string(first - 1) + " of " + std::to_string(total) + " of " +
        entry.Path + " went before, going on with piece " + std::to_string(first));
  }
  const std::string remark = "-- Sending " + platform::BaseName(entry.Path) + " " +
                             message.file_size_text + "b in " + std::to_string(total) + " pieces";
  std::vector<int> entries = EntriesOfFile(message);
  Envelope envelope;
  for (std::uint64_t number = first; number <= total; ++number) {
    if (SendTransaction(message, entries, set.Head(number, total), pieces[number - 1],
                        number == first ? remark : std::string(), envelope) != Outcome::Confirmed) {
      return;
    }
    if (const auto failure = identity_.RecordPiece(message.message_id, number, total, node,
                                                   envelope.recipients, path)) {
      Log(*failure);
    }
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](int i) { return list_.Entry(i).State != SendState::Taken; }),
                  entries.end());
    if (entries.empty()) return;
    Log("-- Piece " + std::to_string(number) + " of " + std::to_string(total) + " sent");
  }
  envelope.accepted = entries.front();
  Confirm(message, envelope);
}

// One message on the wire: the envelope for `entries` with the exact size,
// the piece's own head (none for a whole message), the lines of `range`, the
// end of the data and the server's answer; with CHUNKING one counted chunk
// instead of DATA. A session the server ends first is opened again and the
// message goes on the new one.
Dialogue::Outcome Dialogue::SendTransaction(FileMessage& message, std::vector<int>& entries,
                                            const LineCollector& piece_head, LineRange range,
                                            const std::string& remark, Envelope& envelope_r) {
  const std::uint64_t bytes = piece_head.Bytes() + RangeBytes(message.laid_out.laid, range);
  const Chunk chunk{bytes, [&] { WriteData(message, piece_head, range, remark, true); }};
  do {
    envelope_r = SendEnvelope(message, entries, bytes, offer_.chunking ? &chunk : nullptr);
  } while (envelope_r.ended && Reopen());
  if (envelope_r.ended) return Outcome::Failed;
  if (envelope_r.accepted == 0 && !Aborted()) return Outcome::Refused;
  if (!envelope_r.data_ready) {
    net::LogAndAbort(session_, "-- Error sending aborting!");
    return Outcome::Failed;
  }
  if (envelope_r.final_reply) return JudgeData(message, bytes, *envelope_r.final_reply);
  if (offer_.chunking) {
    net::QueueLine(session_, "BDAT " + std::to_string(bytes) + " LAST");
    chunk.write();
  } else {
    WriteData(message, piece_head, range, remark, false);
  }
  return JudgeData(message, bytes, AwaitConfirmation());
}

// The data's answer; a server that announced no SIZE and refuses the
// message for its size has its limit learned for the route, so that the
// same bytes are not uploaded again to be refused.
Dialogue::Outcome Dialogue::JudgeData(const FileMessage& message, std::uint64_t bytes,
                                      const net::Reply& reply) {
  const Outcome outcome = Judge(message, reply);
  if (outcome != Outcome::Refused || offer_.size.announced || !RefusedForSize(reply)) {
    return outcome;
  }
  const SendEntry& entry = list_.Entry(message.current);
  const std::string route = RouteOf(configuration_.HOST, RedirectOf(entry).EmailAddress);
  Log("-- The server refused " + std::to_string(bytes) + " bytes for " + route +
      " without announcing SIZE: larger files go in pieces below that from now on");
  if (const auto failure = learned_.Learn(route, bytes, std::time(nullptr))) Log(*failure);
  return outcome;
}

// The smallest of the server's SIZE, MAXMESSAGESIZE and what the entry's
// route was learned to refuse; 0: none known.
std::uint64_t Dialogue::LimitFor(const SendEntry& entry) const {
  const std::uint64_t limit = MessageLimit(offer_.size, configuration_);
  const std::uint64_t learned =
      learned_.For(RouteOf(configuration_.HOST, RedirectOf(entry).EmailAddress));
  return learned > 0 && (limit == 0 || learned < limit) ? learned : limit;
}

// The message's data: a remark for the pane, the piece's head, the lines of
// `range` and the end, as a counted chunk or as DATA's dot-ended lines.
void Dialogue::WriteData(FileMessage& message, const LineCollector& piece_head, LineRange range,
                         const std::string& remark, bool chunked) {
  {
    const net::SuspendedLog quiet(session_);
    sink_.set_chunked(chunked);
    if (!remark.empty()) Log(remark);
    for (const std::string& line : piece_head.lines) sink_.SendLine(line);
    SendRange(message, range);
    sink_.SendEndOfData();
    sink_.set_chunked(false);
  }
  progress_.ShowMessageDone(message.file_size_text);
}

void Dialogue::SendRange(FileMessage& message, LineRange range) {
  const LaidOutMessage& laid = message.laid_out.laid;
  std::FILE* file = message.laid_out.file.get();
  const std::uint64_t head = laid.head.size();
  const std::uint64_t base64_end = head + laid.Base64Lines();
  for (std::uint64_t i = range.first; i < std::min(range.end, head); ++i) {
    sink_.SendLine(laid.head[i]);
  }
  const std::uint64_t first = std::max(range.first, head);
  const std::uint64_t end = std::min(range.end, base64_end);
  if (first < end && !Aborted()) {
    const std::string& path = list_.Entry(message.current).Path;
    const std::uint64_t from = (first - head) * mime::kBase64BlockBytes;
    const std::uint64_t to = std::min(laid.file_bytes, (end - head) * mime::kBase64BlockBytes);
    if (::fseeko(file, static_cast<off_t>(from), SEEK_SET) != 0) {
      net::LogAndAbort(session_, "-- Error reading " + path);
      return;
    }
    TransferFile(message, file, platform::BaseName(path), end - first, to - from);
  }
  for (std::uint64_t i = std::max(range.first, base64_end); i < range.end; ++i) {
    sink_.SendLine(laid.tail[i - base64_end]);
  }
}

// Before the message's bookkeeping, its identifier counts as confirmed: a
// kill in between sends the file again under a new identifier, a second copy
// rather than one the far side would take for a copy and drop. The file went
// either way, so a record that cannot be written is only told.
void Dialogue::RecordConfirmed(const FileMessage& message, const Envelope& envelope) {
  // The path as it is on disk, as a log line a month later will show it.
  const auto failure = identity_.RecordConfirmed(
      message.message_id, RedirectOf(list_.Entry(envelope.accepted)).Address, envelope.recipients,
      platform::ResolveName(FileOf(message, envelope.accepted)));
  if (failure) Log(*failure);
}

// The packet packed for a netmail is not left behind in the program's
// directory: once the message is confirmed the stored message keeps the
// record, and one that did not go is packed again next run.
void Dialogue::DropPacket(FileMessage& message) {
  if (!message.packet_written) return;
  (void)platform::DeleteFile(message.packet_path);
  message.packet_written = false;
}

// After the server ended the session (a 421, a close, its limit of
// messages): a new connection, within the run's bounds.
bool Dialogue::Reopen() {
  ended_ = false;
  if (Aborted()) return false;
  fruitless_ = session_messages_ > 0 ? 0 : fruitless_ + 1;
  if (++reconnections_ > kMaxReconnections || fruitless_ > kMaxFruitlessReconnections) {
    net::LogAndAbort(session_, "-- The server ended the session (" + ended_why_ +
                                   "), no more connections in this run");
    return false;
  }
  if (ended_open_ && !session_.closed()) {
    net::SendLine(session_, "QUIT");
    (void)ReadSmtpReply(session_);
  }
  Log("-- The server ended the session (" + ended_why_ + "), connecting again");
  if (!net::Reconnect(session_)) return false;
  offer_ = OpenSmtpConversation(session_, configuration_);
  needs_reset_ = false;
  session_messages_ = 0;
  return !Aborted();
}

void Dialogue::Run() {
  // Unreadable, the record counts as empty: a file queued again may then
  // carry an identifier it had before, as a retry would.
  if (const auto failure = identity_.Load()) Log(*failure);
  if (const auto failure = learned_.Load(std::time(nullptr))) Log(*failure);
  offer_ = OpenSmtpConversation(session_, configuration_);

  entries_counter_ = 0;
  progress_.StartRun(list_.TotalBytes, list_.Count());
  const core::Stopwatch connected;

  for (int current = FirstPending(); current != 0 && !Aborted() && !give_up_;
       current = FirstPending()) {
    if (ended_ && !Reopen()) break;
    progress_.ClearFile();
    FileMessage message;
    message.current = current;
    SendEntry& entry = list_.Entry(current);
    if (const auto small = outbound::SmallBundleName(entry, configuration_.MINIMUMMAIL)) {
      Log("--   Minimum mail size found skipping (" + *small + ")");
      entry.State = SendState::Skipped;
      continue;
    }
    if (configuration_.BusyFiles &&
        !message.lock.Take(list_, current, configuration_.BSYAGE,
                           [this](const std::string& line) { Log(line); })) {
      entry.State = SendState::Skipped;
      continue;
    }
    SendOneFile(message);
  }

  Log("-- We were connected for " + std::to_string(connected.ElapsedSeconds()) + " seconds");
  if (progress_.speed_count() > 0) {
    Log("-- Total speed for " + std::to_string(progress_.speed_count()) + " files was " +
        std::to_string(progress_.average_speed()) + " CPS");
  }
  progress_.EndRun();
  // Nothing more goes to a server that said it ends the session.
  if (ended_ && !ended_open_) return;
  net::SendLine(session_, "QUIT");
  (void)ReadSmtpReply(session_);
}

}  // namespace

net::Endpoint SmtpEndpoint(const config::Configuration& configuration) {
  return {configuration.HOST, configuration.SMTPPORT, "smtp", kDefaultSmtpPort,
          configuration.NETTIMEOUT};
}

void SmtpDialogue(net::NetSession& session, outbound::SendList& list,
                  const config::Configuration& configuration) {
  Dialogue(session, list, configuration).Run();
}

}  // namespace kestrel::send
