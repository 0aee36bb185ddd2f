// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/smtp_dialogue.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/stopwatch.h"
#include "core/text_utils.h"
#include "fido/charset_kludge.h"
#include "outbound/busy_flag.h"
#include "platform/clock.h"
#include "platform/file_names.h"
#include "platform/file_search.h"
#include "platform/files.h"
#include "send/base64_file_reader.h"
#include "send/line_sink.h"
#include "send/message_layout.h"
#include "send/message_stamp.h"
#include "send/netmail_packet.h"
#include "send/record_sent.h"
#include "send/sent_record.h"
#include "send/smtp_login.h"
#include "send/smtp_reply.h"
#include "send/text_conversion.h"

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
// ARCmail bundles are named like 0000FFFE.MO0: 12 characters, day at 9.
constexpr std::size_t kBundleNameLength = 12;
constexpr std::size_t kBundleDayPosition = 8;
constexpr std::size_t kMaxBundleName = 80;
constexpr const char* kBundleDays[] = {".MO", ".TU", ".WE", ".TH", ".FR", ".SA", ".SU"};
// Estimates beyond this many seconds are not shown.
constexpr std::int64_t kMaxSecondsLeft = 9999;
// Busy flags are touched this often while a file goes.
constexpr std::int32_t kFlagTouchSeconds = 60;

// Message lines go to the connection: made transparent, gathered into large
// writes, and logged to the pane only while the data flows.
class SessionSink final : public LineSink {
 public:
  explicit SessionSink(net::NetSession& session) : session_(session) {}
  void SendLine(std::string_view line) override { net::QueueLine(session_, DotStuffed(line)); }
  void SendEndOfData() override {
    net::QueueLine(session_, ".");
    net::FlushOutput(session_);
  }
  [[nodiscard]] bool Aborted() const override { return session_.IsAborted(); }
  void Log(std::string_view text) override { net::LogLine(session_, text); }

 private:
  net::NetSession& session_;
};

std::string Percent(std::int64_t part, std::int64_t whole) {
  return std::to_string(part * 100 / whole) + "%";
}

std::int32_t FileSize32(const std::string& path) {
  const auto size = platform::FileSize(path);
  if (!size) return 0;
  return static_cast<std::int32_t>(std::min<std::uint64_t>(*size, INT32_MAX));
}

class Dialogue {
 public:
  Dialogue(net::NetSession& session, outbound::SendList& list,
           const config::Configuration& configuration)
      : session_(session),
        list_(list),
        configuration_(configuration),
        front_end_(session.logger.front_end()),
        sink_(session),
        header_template_(HeaderTemplatePath()) {}

  void Run();

 private:
  struct Message {
    int current = 0;                 // entry whose file the message carries
    std::vector<std::string> flags;  // busy flags created for it
    std::int32_t flags_touched = 0;  // second of the transfer they were last touched
    std::int32_t size = 0;
    bool unable_to_open = false;
    std::string file_size_text;  // what CurrentFileSize shows
    std::string packet;          // the packet packed for a netmail, ours to remove
    std::string message_id;
  };

  void Log(const std::string& text) { net::LogLine(session_, text); }
  void Show(Field field, const std::string& text) { front_end_.SetField(field, text); }
  [[nodiscard]] bool Aborted() const { return session_.IsAborted(); }
  [[nodiscard]] int FirstPending() const;
  [[nodiscard]] const config::RedirectEntry& RedirectOf(const SendEntry& entry) const;
  void Pause(std::uint32_t milliseconds) const;

  [[nodiscard]] bool SmallBundle(const SendEntry& entry);
  [[nodiscard]] bool TakeBusyFlags(Message& message);
  void DropBusyFlags(Message& message);
  void KeepBusyFlagsFresh(Message& message, std::int32_t elapsed);
  struct Envelope {
    int accepted = 0;                     // first entry whose recipient the server accepted
    std::vector<std::string> recipients;  // every accepted address
    bool data_ready = false;              // the server answered DATA with "354"
  };
  [[nodiscard]] Envelope SendEnvelope(Message& message);
  void RefuseSender(const Message& message, const net::Reply& reply);
  [[nodiscard]] MessageStamp StampFor(const SendEntry& entry, const Envelope& envelope) const;
  void SendMessageText(Message& message, const Envelope& envelope);
  void SendAttachment(Message& message, SendEntry& entry);
  void TransferFile(Message& message, std::FILE* file, const std::string& name);
  [[nodiscard]] net::Reply AwaitConfirmation();
  void LoadSentRecord();
  void RecordConfirmed(const Message& message, const Envelope& envelope);
  void SendOneFile(Message& message);
  void DropUnsentPacket(const Message& message);

  net::NetSession& session_;
  outbound::SendList& list_;
  const config::Configuration& configuration_;
  core::FrontEnd& front_end_;
  SessionSink sink_;
  std::string header_template_;
  SentRecord sent_;
  int entries_counter_ = 0;
  std::int32_t bytes_sent_total_ = 0;
  std::int32_t speed_sum_ = 0;
  std::int32_t speed_count_ = 0;
  int boundary_ = 0;
  int sender_refusals_ = 0;
  bool give_up_ = false;  // the server will take no message from us this run
};

int Dialogue::FirstPending() const {
  for (int i = 1; i <= list_.Count(); ++i) {
    if (list_.Entry(i).State == SendState::Pending) return i;
  }
  return 0;
}

const config::RedirectEntry& Dialogue::RedirectOf(const SendEntry& entry) const {
  static const config::RedirectEntry kNone{};
  const auto& table = configuration_.Redirects;
  if (entry.RedirectIndex < 1 || entry.RedirectIndex > table.RedirectCount()) return kNone;
  return table.Entry(entry.RedirectIndex);
}

void Dialogue::Pause(std::uint32_t milliseconds) const {
  if (milliseconds == 0) return;
  const std::int64_t until = platform::MonotonicHundredths() + (milliseconds + 9) / 10;
  while (!Aborted() && platform::MonotonicHundredths() < until) {
    std::this_thread::sleep_for(kPauseSlice);
  }
}

bool Dialogue::SmallBundle(const SendEntry& entry) {
  if (configuration_.MINIMUMMAIL <= 0 || entry.Kind != SendKind::ListedFile) return false;
  const std::string name = platform::BaseName(entry.Path).substr(0, kMaxBundleName);
  if (name.size() != kBundleNameLength) return false;
  const std::string upper = core::UpperCase(name);
  std::size_t at = std::string::npos;
  for (const char* day : kBundleDays) {
    at = upper.find(day);
    if (at != std::string::npos) break;
  }
  if (at != kBundleDayPosition) return false;
  const auto found = platform::FindNamedFile(entry.Path);
  if (found.outcome != platform::SearchOutcome::Found || found.files.empty()) return false;
  const auto& file = found.files.front();
  std::tm modified{};
  localtime_r(&file.modified, &modified);
  if (modified.tm_mday != platform::Now().day ||
      file.size >= static_cast<std::uint64_t>(configuration_.MINIMUMMAIL)) {
    return false;
  }
  Log("--   Minimum mail size found skipping (" + name + ")");
  return true;
}

// True when the node is free and its flags are now ours; false (entry to be
// skipped) when another program holds it. Flags left behind by a program
// that is gone (or older than BSYAGE) are removed first.
bool Dialogue::TakeBusyFlags(Message& message) {
  const SendEntry& current = list_.Entry(message.current);
  std::vector<std::string> guarded;  // the flow files, lists or packet guarded
  if (current.Kind == SendKind::OutboundPacket) {
    guarded.push_back(current.Path);
  } else if (current.Kind == SendKind::ListedFile) {
    for (int i = 1; i <= list_.Count(); ++i) {
      const SendEntry& entry = list_.Entry(i);
      if (entry.Kind == SendKind::ListedFile && entry.Path == current.Path &&
          std::find(guarded.begin(), guarded.end(), entry.ListPath) == guarded.end()) {
        guarded.push_back(entry.ListPath);
      }
    }
  }
  const bool quiet = current.Kind == SendKind::OutboundPacket;
  bool busy = false;
  for (const auto& path : guarded) {
    // A .csy flag (a call in progress) holds the node as firmly as a .bsy.
    for (const std::string& flag : outbound::PresentBusyFlags(path)) {
      const outbound::FlagJudgement judgement =
          outbound::JudgeBusyFlag(flag, configuration_.BSYAGE);
      if (outbound::RemoveStaleFlag(flag, judgement)) {
        Log("--   Stale busy flag removed (" + flag + ", " + judgement.reason + ")");
        continue;
      }
      if (!quiet) Log("--   Busy file found skipping (" + flag + ")");
      busy = true;
      break;
    }
  }
  if (busy) return false;
  const std::string content = outbound::OwnFlagContent();
  for (const auto& path : guarded) {
    const std::string flag = outbound::BusyFlagName(path, "BSY");
    const bool created = platform::CreateFileExclusive(flag, content);
    const bool taken = !created && errno == EEXIST;
    if (created) {
      message.flags.push_back(flag);
    } else if (taken || !outbound::PresentBusyFlags(path).empty()) {
      // Another program took the node a moment ago (a flag of any kind, a
      // lock link included): give back what we took.
      if (!quiet) Log("--   Busy file found skipping (" + flag + ")");
      DropBusyFlags(message);
      return false;
    }  // a flag that cannot be created is ignored
  }
  return true;
}

// A long transfer keeps its flags young, so that the mailers' age limit (and
// BSYAGE of another run) does not take them for left behind.
void Dialogue::KeepBusyFlagsFresh(Message& message, std::int32_t elapsed) {
  if (elapsed - message.flags_touched < kFlagTouchSeconds) return;
  message.flags_touched = elapsed;
  for (const auto& flag : message.flags) (void)platform::TouchFile(flag);
}

void Dialogue::DropBusyFlags(Message& message) {
  for (const auto& flag : message.flags) (void)platform::DeleteFile(flag);
  message.flags.clear();
}

Dialogue::Envelope Dialogue::SendEnvelope(Message& message) {
  net::SendLine(session_, "RSET");
  (void)ReadSmtpReply(session_);
  Pause(configuration_.SENDPAUSE / kResetPauseDivisor);
  net::SendLine(session_, "MAIL FROM:<" + configuration_.FROMEMAIL + ">");
  const net::Reply sender = ReadSmtpReply(session_);
  if (!HasCode(sender, 250)) {
    if (!Aborted()) RefuseSender(message, sender);
    return {};
  }

  const std::string path = list_.Entry(message.current).Path;
  Envelope envelope;
  for (int i = 1; i <= list_.Count() && !Aborted(); ++i) {
    SendEntry& entry = list_.Entry(i);
    if (entry.Path != path || (i != message.current && entry.State != SendState::Pending)) {
      continue;
    }
    ++entries_counter_;
    Show(Field::FilesSent, std::to_string(entries_counter_));
    entry.State = SendState::Taken;
    net::SendLine(session_, "RCPT TO:<" + RedirectOf(entry).EmailAddress + ">");
    const net::Reply reply = ReadSmtpReply(session_);
    if (reply.ok() && reply.code / 100 == 2) {
      if (envelope.accepted == 0) envelope.accepted = i;
      envelope.recipients.push_back(RedirectOf(entry).EmailAddress);
    } else if (!Aborted()) {
      // Refused: this system's copy stays listed on disk for the next run.
      entry.State = SendState::Skipped;
      session_.Incomplete = true;
      Log("--   Recipient refused, file kept for the next run (" + RedirectOf(entry).EmailAddress +
          ")");
    }
  }
  if (envelope.accepted == 0 || Aborted()) return envelope;
  net::SendLine(session_, "DATA");
  // Without "354" the server is not reading data: the message lines would
  // arrive as commands.
  envelope.data_ready = HasCode(ReadSmtpReply(session_), 354);
  return envelope;
}

// A refused sender ends the message's transaction before any recipient; its
// file stays as it is. A permanent refusal, or a second one, would meet every
// further message too.
void Dialogue::RefuseSender(const Message& message, const net::Reply& reply) {
  const std::string path = list_.Entry(message.current).Path;
  for (int i = 1; i <= list_.Count(); ++i) {
    SendEntry& entry = list_.Entry(i);
    if (entry.Path == path && entry.State == SendState::Pending) entry.State = SendState::Skipped;
  }
  list_.Entry(message.current).State = SendState::Skipped;
  session_.Incomplete = true;
  Log("--   Sender refused, file kept for the next run (" + reply.last() + ")");
  net::SendLine(session_, "RSET");
  (void)ReadSmtpReply(session_);
  if (reply.code / 100 == 5 || ++sender_refusals_ > 1) {
    Log("-- The server refuses the sender " + configuration_.FROMEMAIL + ", no more messages");
    give_up_ = true;
  }
}

void Dialogue::TransferFile(Message& message, std::FILE* file, const std::string& name) {
  Show(Field::CurrentFilename, name);
  message.file_size_text = std::to_string(message.size);
  Show(Field::CurrentFileSize, message.file_size_text);
  const core::Stopwatch stopwatch;
  std::int32_t last_shown = -1;
  std::int64_t file_bytes = 0;
  const std::int64_t size = message.size;
  const std::int64_t total = list_.TotalBytes;

  Base64FileReader reader(file);
  Base64FileReader::Lines lines;
  while (!Aborted() && reader.Next(lines)) {
    net::QueueLines(session_, lines.text);
    file_bytes += static_cast<std::int64_t>(lines.data_bytes);
    const std::int32_t elapsed = stopwatch.ElapsedSeconds();
    if (elapsed == last_shown) continue;
    last_shown = elapsed;
    KeepBusyFlagsFresh(message, elapsed);
    Show(Field::TotalProgress, std::to_string(bytes_sent_total_ + file_bytes));
    Show(Field::CurrentProgress, std::to_string(file_bytes));
    if (size > 0) Show(Field::CurrentPercent, Percent(file_bytes, size));
    if (total > 0) Show(Field::TotalPercent, Percent(bytes_sent_total_ + file_bytes, total));
    if (elapsed <= 0) continue;
    const std::int64_t speed = file_bytes / elapsed;
    if (speed <= 0) continue;
    const std::int64_t left = size / speed - elapsed;
    if (left < 0 || left >= kMaxSecondsLeft) continue;
    Show(Field::SecondsLeftofFile, std::to_string(left));
    Show(Field::CurrentCPS, std::to_string(speed));
    Show(Field::TotalCPS,
         std::to_string(speed_count_ == 0 ? speed : (speed_sum_ / speed_count_ + speed) / 2));
  }
  if (reader.failed()) {
    // What went out is incomplete: the message must not be ended with ".".
    Log("-- Error reading " + list_.Entry(message.current).Path);
    session_.Abort();
  }
  bytes_sent_total_ =
      static_cast<std::int32_t>(std::min<std::int64_t>(bytes_sent_total_ + file_bytes, INT32_MAX));
  const std::int32_t elapsed = stopwatch.ElapsedSeconds();
  if (elapsed > 0) {
    const auto speed = static_cast<std::int32_t>(file_bytes / elapsed);
    if (speed > 0) {
      Log("-- Speed was " + std::to_string(speed) + " characters per second (CPS)");
      speed_sum_ += speed;
      ++speed_count_;
    }
  }
  Show(Field::TotalProgress, std::to_string(bytes_sent_total_));
  if (total > 0) Show(Field::TotalPercent, Percent(bytes_sent_total_, total));
  sink_.SendLine("");
}

void Dialogue::SendAttachment(Message& message, SendEntry& entry) {
  // The log shows the real name; the message names a listed file or packet
  // in upper case, as the flow files were always read.
  const std::string real_name = platform::BaseName(entry.Path);
  const bool upper_case =
      entry.Kind == SendKind::ListedFile || entry.Kind == SendKind::OutboundPacket;
  const std::string name = upper_case ? core::UpperCase(real_name) : real_name;
  SendTemplateTextPart(sink_, boundary_,
                       ExpandSubjectTemplate(configuration_.SUBJECT, name, message.size),
                       header_template_, name, message.size);
  platform::UniqueFile file = platform::OpenFile(entry.Path, "rb");
  if (!file) {
    message.unable_to_open = true;
    return;
  }
  if (entry.Kind == SendKind::NetmailPacket) {
    Log("-- Sending " + platform::BaseName(entry.ListPath) + " as " + real_name);
  } else {
    Log("-- Sending " + real_name + " " + std::to_string(message.size) + "b");
  }
  SendAttachmentHead(sink_, boundary_,
                     entry.Kind == SendKind::OutboundPacket ? RandomPacketName() : name);
  TransferFile(message, file.get(), real_name);
}

// A netmail is known by the stored message, whatever packet it is packed into.
MessageStamp Dialogue::StampFor(const SendEntry& entry, const Envelope& envelope) const {
  const bool netmail = entry.Kind == SendKind::NetmailText || entry.Kind == SendKind::NetmailPacket;
  return {MailDate(std::time(nullptr)),
          QueuedMessageId(configuration_.FROMEMAIL, envelope.recipients,
                          netmail ? StoredMessageFields(entry.Path) : FileFields(entry.Path),
                          MessageIdDomain(configuration_.FROMEMAIL, session_.LocalHost), sent_)};
}

void Dialogue::SendMessageText(Message& message, const Envelope& envelope) {
  SendEntry& entry = list_.Entry(message.current);
  message.size = FileSize32(entry.Path);
  const MessageStamp stamp = StampFor(entry, envelope);
  message.message_id = stamp.message_id;
  SendMessageHead(sink_, boundary_, RedirectOf(entry), configuration_, stamp);
  TextSendContext text{sink_,
                       front_end_,
                       header_template_,
                       boundary_,
                       bytes_sent_total_,
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
    const auto packed = PackNetmail(entry, message.size, list_, sink_, front_end_);
    if (packed) message.packet = entry.Path;
    message.size = packed ? static_cast<std::int32_t>(std::min<std::int64_t>(*packed, INT32_MAX))
                          : FileSize32(entry.Path);
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

void Dialogue::SendOneFile(Message& message) {
  const Envelope envelope = SendEnvelope(message);
  // Every recipient refused: nothing goes, the entries stay listed on disk.
  if (envelope.accepted == 0 && !Aborted()) return;
  if (!envelope.data_ready) {
    Log("-- Error sending aborting!");
    session_.Abort();
    return;
  }
  boundary_ = DrawBoundaryNumber();
  const bool was_suspended = session_.LogSuspended;
  session_.LogSuspended = true;
  SendMessageText(message, envelope);
  SendClosing(sink_, boundary_);
  session_.LogSuspended = was_suspended;

  Show(Field::CurrentPercent, "100%");
  Show(Field::CurrentProgress, message.file_size_text);
  Show(Field::SecondsLeftofFile, "");
  const net::Reply reply = AwaitConfirmation();

  bool confirmed = false;
  if (message.unable_to_open) {
    Log("-- Unable to open " + list_.Entry(message.current).Path);
    session_.Incomplete = true;
  } else if (HasCode(reply, 250) && !Aborted()) {
    confirmed = true;
    Log("-- Message sent!");
    RecordConfirmed(message, envelope);
    const RecordResult recorded =
        RecordSent(list_, envelope.accepted, session_.logger, configuration_);
    if (recorded.io_error) session_.Abort();
    Pause(configuration_.SENDPAUSE);
  } else {
    Log("-- Error sending aborting!");
    session_.Abort();
  }
  if (!confirmed) DropUnsentPacket(message);
}

// Unreadable, the record counts as empty: a file queued again may then carry
// an identifier it had before, as a retry would.
void Dialogue::LoadSentRecord() {
  std::string error;
  if (!sent_.Load(std::time(nullptr), error)) {
    Log("-- Could not read " + sent_.path() + " (" + error + ")");
  }
}

// Before the message's bookkeeping, its identifier counts as confirmed: a
// kill in between sends the file again under a new identifier, a second copy
// rather than one the far side would take for a copy and drop. The file went
// either way, so a record that cannot be written is only told.
void Dialogue::RecordConfirmed(const Message& message, const Envelope& envelope) {
  const SendEntry& entry = list_.Entry(envelope.accepted);
  std::string addresses;
  for (const std::string& recipient : envelope.recipients) {
    addresses += (addresses.empty() ? "" : ",") + recipient;
  }
  std::string error;
  if (!sent_.Record({0, message.message_id, RedirectOf(entry).Address, addresses, entry.Path},
                    std::time(nullptr), error)) {
    Log("-- Could not write " + sent_.path() + " (" + error + ")");
  }
}

// The packet packed for a netmail that did not go is not left behind in the
// program's directory: the next run packs the message again.
void Dialogue::DropUnsentPacket(const Message& message) {
  if (message.packet.empty()) return;
  (void)platform::DeleteFile(message.packet);
  SendEntry& entry = list_.Entry(message.current);
  if (entry.Path == message.packet) entry.Path = entry.ListPath;
}

void Dialogue::Run() {
  LoadSentRecord();
  OpenSmtpConversation(session_, configuration_);

  entries_counter_ = 0;
  Show(Field::TotalFileSize, std::to_string(list_.TotalBytes));
  Show(Field::TotalFiles, std::to_string(list_.Count()));
  bytes_sent_total_ = 0;
  speed_sum_ = 0;
  speed_count_ = 0;
  const core::Stopwatch connected;

  for (int current = FirstPending(); current != 0 && !Aborted() && !give_up_;
       current = FirstPending()) {
    for (const Field field :
         {Field::CurrentPercent, Field::CurrentFilename, Field::CurrentProgress,
          Field::CurrentFileSize, Field::SecondsLeftofFile, Field::CurrentCPS}) {
      Show(field, "");
    }
    Message message;
    message.current = current;
    SendEntry& entry = list_.Entry(current);
    if (SmallBundle(entry) || (configuration_.BusyFiles && !TakeBusyFlags(message))) {
      entry.State = SendState::Skipped;
      continue;
    }
    SendOneFile(message);
    DropBusyFlags(message);
  }

  Log("-- We were connected for " + std::to_string(connected.ElapsedSeconds()) + " seconds");
  if (speed_count_ > 0) {
    Log("-- Total speed for " + std::to_string(speed_count_) + " files was " +
        std::to_string(speed_sum_ / speed_count_) + " CPS");
  }
  Show(Field::TotalCPS, "");
  Show(Field::TotalSecondsLeft, "");
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
