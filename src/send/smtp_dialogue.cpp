// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/smtp_dialogue.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/base64.h"
#include "core/stopwatch.h"
#include "core/text_utils.h"
#include "fido/charset_kludge.h"
#include "platform/clock.h"
#include "platform/file_names.h"
#include "platform/file_search.h"
#include "platform/files.h"
#include "send/base64_file_reader.h"
#include "send/line_sink.h"
#include "send/message_layout.h"
#include "send/message_pieces.h"
#include "send/message_stamp.h"
#include "send/netmail_packet.h"
#include "send/node_flags.h"
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
// Servers add their own head lines (Received:, and Postfix its envelope) to
// what they count against their limit: a message is kept below the limit by
// this fraction of it.
constexpr std::uint64_t kHeadroomDivisor = 16;
// Piece numbers stay below this many digits.
constexpr std::uint64_t kMaxPieces = 999999;

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
        front_end_(session.logger.front_end()),
        sink_(session),
        header_template_(HeaderTemplatePath()) {}

  void Run();

 private:
  struct Message {
    int current = 0;  // entry whose file the message carries
    NodeFlags flags;  // busy flags taken for it
    std::int64_t size = 0;
    bool unable_to_open = false;
    std::string file_size_text;  // what CurrentFileSize shows
    std::string packet;          // the packet packed for a netmail, ours to remove
    std::string message_id;
    // A message laid out before it goes (a file as attachment, opened):
    platform::UniqueFile file;
    LaidOutMessage laid;
    MessageStamp stamp;
    std::string subject;
  };

  void Log(const std::string& text) { net::LogLine(session_, text); }
  void Show(Field field, const std::string& text) { front_end_.SetField(field, text); }
  [[nodiscard]] bool Aborted() const { return session_.IsAborted(); }
  [[nodiscard]] int FirstPending() const;
  [[nodiscard]] const config::RedirectEntry& RedirectOf(const SendEntry& entry) const;
  void Pause(std::uint32_t milliseconds) const;

  [[nodiscard]] bool SmallBundle(const SendEntry& entry);
  struct Envelope {
    int accepted = 0;                     // first entry whose recipient the server accepted
    std::vector<std::string> recipients;  // every accepted address
    bool data_ready = false;              // the server answered DATA with "354"
    bool refused = false;                 // the server refused this message: the file waits
  };
  [[nodiscard]] std::vector<int> EntriesOfFile(const Message& message) const;
  [[nodiscard]] Envelope SendEnvelope(Message& message, const std::vector<int>& entries,
                                      std::optional<std::uint64_t> size);
  void RefuseSender(const Message& message, const net::Reply& reply);
  void KeepRefused(const Message& message, const std::string& why);
  [[nodiscard]] std::vector<std::string> PlannedRecipients(const Message& message) const;
  [[nodiscard]] MessageStamp StampFor(const SendEntry& entry,
                                      const std::vector<std::string>& recipients) const;
  void SendMessageText(Message& message, const Envelope& envelope);
  void SendAttachment(Message& message, SendEntry& entry);
  void TransferFile(Message& message, std::FILE* file, const std::string& name,
                    std::uint64_t max_lines = Base64FileReader::kAllLines,
                    std::optional<std::uint64_t> expected_bytes = std::nullopt);
  [[nodiscard]] net::Reply AwaitConfirmation();
  void LoadSentRecord();
  void RecordConfirmed(const Message& message, const Envelope& envelope);
  void SendOneFile(Message& message);
  void DropUnsentPacket(const Message& message);

  // Messages laid out before they go: SIZE=, limits and pieces.
  [[nodiscard]] bool LayOut(Message& message);
  [[nodiscard]] std::uint64_t Limit() const;
  void SendLaidOut(Message& message);
  void Hold(Message& message, std::uint64_t bytes, std::uint64_t limit, const char* why);
  void SendInPieces(Message& message, std::uint64_t target);
  enum class Outcome { Confirmed, Refused, Failed };
  [[nodiscard]] Outcome SendTransaction(Message& message, std::vector<int>& entries,
                                        const LineCollector& piece_head, LineRange range,
                                        const std::string& remark, Envelope& envelope_r);
  void SendRange(Message& message, LineRange range);
  [[nodiscard]] Outcome Judge(const Message& message, const net::Reply& reply);
  void Confirm(Message& message, const Envelope& envelope);
  void LogSent(const Message& message);

  net::NetSession& session_;
  outbound::SendList& list_;
  const config::Configuration& configuration_;
  core::FrontEnd& front_end_;
  SessionSink sink_;
  std::string header_template_;
  SentRecord sent_;
  int entries_counter_ = 0;
  std::int64_t bytes_sent_total_ = 0;
  std::int64_t speed_sum_ = 0;
  std::int32_t speed_count_ = 0;
  int boundary_ = 0;
  int sender_refusals_ = 0;
  bool give_up_ = false;  // the server will take no message from us this run
  SizeOffer size_offer_;
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

// The entries a message of the current file is for: the current one and
// every other still pending with the same file.
std::vector<int> Dialogue::EntriesOfFile(const Message& message) const {
  const std::string& path = list_.Entry(message.current).Path;
  std::vector<int> entries;
  for (int i = 1; i <= list_.Count(); ++i) {
    const SendEntry& entry = list_.Entry(i);
    if (entry.Path == path && (i == message.current || entry.State == SendState::Pending)) {
      entries.push_back(i);
    }
  }
  return entries;
}

// RSET, MAIL FROM (with SIZE= when known and offered), one RCPT TO per
// address of `entries` (one file listed twice for a system, in two flow files
// of its node, goes to it once) and DATA. Entries whose recipient is refused
// leave `entries`; they stay listed on disk.
Dialogue::Envelope Dialogue::SendEnvelope(Message& message, const std::vector<int>& entries,
                                          std::optional<std::uint64_t> size) {
  net::SendLine(session_, "RSET");
  (void)ReadSmtpReply(session_);
  Pause(configuration_.SENDPAUSE / kResetPauseDivisor);
  const bool with_size = size && size_offer_.announced;
  net::SendLine(session_, "MAIL FROM:<" + configuration_.FROMEMAIL + ">" +
                              (with_size ? " SIZE=" + std::to_string(*size) : std::string()));
  const net::Reply sender = ReadSmtpReply(session_);
  Envelope envelope;
  if (!HasCode(sender, 250)) {
    // RFC 1870 6.1: 552 and 452 refuse this message's size, not the sender.
    if (!Aborted() && with_size && (HasCode(sender, 552) || HasCode(sender, 452))) {
      KeepRefused(message, sender.last());
      envelope.refused = true;
    } else if (!Aborted()) {
      RefuseSender(message, sender);
    }
    return envelope;
  }

  struct Asked {
    std::string address;
    bool accepted = false;
    std::string reply;  // the last line of the server's answer
  };
  std::vector<Asked> asked;
  for (const int i : entries) {
    if (Aborted()) break;
    SendEntry& entry = list_.Entry(i);
    const std::string& address = RedirectOf(entry).EmailAddress;
    if (entry.State != SendState::Taken) {
      ++entries_counter_;
      Show(Field::FilesSent, std::to_string(entries_counter_));
      entry.State = SendState::Taken;
    }
    auto known = std::find_if(asked.begin(), asked.end(),
                              [&](const Asked& item) { return item.address == address; });
    if (known == asked.end()) {
      net::SendLine(session_, "RCPT TO:<" + address + ">");
      const net::Reply reply = ReadSmtpReply(session_);
      asked.push_back({address, reply.ok() && reply.code / 100 == 2, reply.last()});
      known = asked.end() - 1;
      if (known->accepted) envelope.recipients.push_back(address);
    }
    if (known->accepted) {
      if (envelope.accepted == 0) envelope.accepted = i;
    } else if (!Aborted()) {
      // Refused: this system's copy stays listed on disk for the next run.
      entry.State = SendState::Skipped;
      session_.NoteShortfall(entry.Path + " for " + address, known->reply);
      Log("--   Recipient refused, file kept for the next run (" + address + ")");
    }
  }
  if (envelope.accepted == 0 || Aborted()) return envelope;
  net::SendLine(session_, "DATA");
  // Without "354" the server is not reading data: the message lines would
  // arrive as commands.
  envelope.data_ready = HasCode(ReadSmtpReply(session_), 354);
  return envelope;
}

// The server refused this one message (its size, its content): its file
// stays listed for the next run, and the others still go.
void Dialogue::KeepRefused(const Message& message, const std::string& why) {
  const std::string path = list_.Entry(message.current).Path;
  for (int i = 1; i <= list_.Count(); ++i) {
    SendEntry& entry = list_.Entry(i);
    if (entry.Path != path || (i != message.current && entry.State != SendState::Pending &&
                               entry.State != SendState::Taken)) {
      continue;
    }
    entry.State = SendState::Skipped;
    const config::RedirectEntry& redirect = RedirectOf(entry);
    Log("-- Refused " + path + " for " + redirect.Address + " (" + redirect.EmailAddress +
        "): " + why);
  }
  session_.NoteShortfall(path, why);
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
  session_.NoteShortfall(path, reply.last());
  Log("--   Sender refused, file kept for the next run (" + reply.last() + ")");
  net::SendLine(session_, "RSET");
  (void)ReadSmtpReply(session_);
  if (reply.code / 100 == 5 || ++sender_refusals_ > 1) {
    Log("-- The server refuses the sender " + configuration_.FROMEMAIL + ", no more messages");
    give_up_ = true;
  }
}

void Dialogue::TransferFile(Message& message, std::FILE* file, const std::string& name,
                            std::uint64_t max_lines, std::optional<std::uint64_t> expected_bytes) {
  Show(Field::CurrentFilename, name);
  message.file_size_text = std::to_string(message.size);
  Show(Field::CurrentFileSize, message.file_size_text);
  const core::Stopwatch stopwatch;
  std::int32_t last_shown = -1;
  std::int64_t file_bytes = 0;
  const std::int64_t size = message.size;
  const std::int64_t total = list_.TotalBytes;

  Base64FileReader reader(file, max_lines);
  Base64FileReader::Lines lines;
  while (!Aborted() && reader.Next(lines)) {
    net::QueueLines(session_, lines.text);
    file_bytes += static_cast<std::int64_t>(lines.data_bytes);
    const std::int32_t elapsed = stopwatch.ElapsedSeconds();
    if (elapsed == last_shown) continue;
    last_shown = elapsed;
    message.flags.KeepFresh();
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
  } else if (expected_bytes && !Aborted() && reader.bytes_read() != *expected_bytes) {
    // Not what was announced and counted: the message must not be ended.
    Log("-- " + list_.Entry(message.current).Path + " changed while it was sent");
    session_.Abort();
  }
  bytes_sent_total_ += file_bytes;
  const std::int32_t elapsed = stopwatch.ElapsedSeconds();
  if (elapsed > 0) {
    const std::int64_t speed = file_bytes / elapsed;
    if (speed > 0) {
      Log("-- Speed was " + std::to_string(speed) + " characters per second (CPS)");
      speed_sum_ += speed;
      ++speed_count_;
    }
  }
  Show(Field::TotalProgress, std::to_string(bytes_sent_total_));
  if (total > 0) Show(Field::TotalPercent, Percent(bytes_sent_total_, total));
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
  sink_.SendLine("");
}

// A netmail is known by the stored message, whatever packet it is packed into.
MessageStamp Dialogue::StampFor(const SendEntry& entry,
                                const std::vector<std::string>& recipients) const {
  const bool netmail = entry.Kind == SendKind::NetmailText || entry.Kind == SendKind::NetmailPacket;
  return {MailDate(std::time(nullptr)),
          QueuedMessageId(configuration_.FROMEMAIL, recipients,
                          netmail ? StoredMessageFields(entry.Path) : FileFields(entry.Path),
                          MessageIdDomain(configuration_.FROMEMAIL, session_.LocalHost), sent_)};
}

void Dialogue::SendMessageText(Message& message, const Envelope& envelope) {
  SendEntry& entry = list_.Entry(message.current);
  message.size = FileSizeOf(entry.Path);
  const MessageStamp stamp = StampFor(entry, envelope.recipients);
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
    message.size = packed ? *packed : FileSizeOf(entry.Path);
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
  if (LayOut(message)) {
    SendLaidOut(message);
    return;
  }
  // Text, packed netmail, a file that cannot be opened: composed as it goes.
  const Envelope envelope = SendEnvelope(message, EntriesOfFile(message), std::nullopt);
  // Every recipient refused: nothing goes, the entries stay listed on disk.
  if (envelope.accepted == 0 && !Aborted()) return;
  if (!envelope.data_ready) {
    Log("-- Error sending aborting!");
    session_.Abort();
    return;
  }
  boundary_ = DrawBoundaryNumber();
  {
    const net::SuspendedLog quiet(session_);
    SendMessageText(message, envelope);
    SendClosing(sink_, boundary_);
  }

  Show(Field::CurrentPercent, "100%");
  Show(Field::CurrentProgress, message.file_size_text);
  Show(Field::SecondsLeftofFile, "");
  const net::Reply reply = AwaitConfirmation();

  bool confirmed = false;
  if (message.unable_to_open) {
    Log("-- Unable to open " + list_.Entry(message.current).Path);
    session_.NoteShortfall(list_.Entry(message.current).Path);
  } else if (Judge(message, reply) == Outcome::Confirmed) {
    confirmed = true;
    Confirm(message, envelope);
  }
  if (!confirmed) DropUnsentPacket(message);
}

// The answer to the end of the data. A refusal of this message (4xx, 5xx)
// holds back only its file; a 421, a lost connection or a time-out ends the
// job.
Dialogue::Outcome Dialogue::Judge(const Message& message, const net::Reply& reply) {
  if (HasCode(reply, 250) && !Aborted()) return Outcome::Confirmed;
  const int kind = reply.code / 100;
  if (reply.ok() && !Aborted() && (kind == 4 || kind == 5) && reply.code != 421) {
    KeepRefused(message, reply.last());
    return Outcome::Refused;
  }
  Log("-- Error sending aborting!");
  session_.Abort();
  return Outcome::Failed;
}

void Dialogue::Confirm(Message& message, const Envelope& envelope) {
  Log("-- Message sent!");
  RecordConfirmed(message, envelope);
  LogSent(message);
  const RecordResult recorded =
      RecordSent(list_, envelope.accepted, session_.logger, configuration_);
  if (recorded.io_error) session_.Abort(recorded.failure);
  Pause(configuration_.SENDPAUSE);
}

// One line per system that got the file, for the sysop reading the log later.
void Dialogue::LogSent(const Message& message) {
  const SendEntry& current = list_.Entry(message.current);
  std::set<std::string> told;
  for (int i = 1; i <= list_.Count(); ++i) {
    const SendEntry& entry = list_.Entry(i);
    if (entry.State != SendState::Taken || entry.Path != current.Path) continue;
    const config::RedirectEntry& redirect = RedirectOf(entry);
    if (!told.insert(redirect.Address + " " + redirect.EmailAddress).second) continue;
    const std::string& shown = entry.Kind == SendKind::NetmailPacket ? entry.ListPath : entry.Path;
    Log("-- Sent " + shown + " to " + redirect.Address + " (" + redirect.EmailAddress + "), " +
        std::to_string(message.size) + " bytes");
  }
}

std::vector<std::string> Dialogue::PlannedRecipients(const Message& message) const {
  std::vector<std::string> recipients;
  for (const int i : EntriesOfFile(message)) {
    const std::string& address = RedirectOf(list_.Entry(i)).EmailAddress;
    if (std::find(recipients.begin(), recipients.end(), address) == recipients.end()) {
      recipients.push_back(address);
    }
  }
  return recipients;
}

// A file as attachment is laid out whole before its envelope, so that its
// size is known: false (composed as it goes) for other messages and for a
// file that cannot be opened.
bool Dialogue::LayOut(Message& message) {
  const SendEntry& entry = list_.Entry(message.current);
  const bool as_packet = entry.Kind == SendKind::OutboundPacket;
  if (!(entry.Kind == SendKind::ListedFile || entry.Kind == SendKind::AttachedFile ||
        (as_packet && !RedirectOf(entry).SendAsText))) {
    return false;
  }
  message.file = platform::OpenFile(entry.Path, "rb");
  struct stat info {};
  if (!message.file || ::fstat(::fileno(message.file.get()), &info) != 0) return false;
  message.laid.file_bytes = static_cast<std::uint64_t>(info.st_size);
  message.size =
      static_cast<std::int64_t>(std::min<std::uint64_t>(message.laid.file_bytes, INT64_MAX));
  message.file_size_text = std::to_string(message.size);
  boundary_ = DrawBoundaryNumber();
  // A listed file or packet is named in upper case, as the flow files were
  // always read.
  const std::string name = core::UpperCase(platform::BaseName(entry.Path));
  const std::string shown =
      entry.Kind == SendKind::AttachedFile ? platform::BaseName(entry.Path) : name;
  message.subject = ExpandSubjectTemplate(configuration_.SUBJECT, shown, message.size);
  message.stamp = StampFor(entry, PlannedRecipients(message));
  message.message_id = message.stamp.message_id;

  // The template's remarks reach the pane only, as while the data flows.
  LineCollector head(&sink_);
  {
    const net::SuspendedLog quiet(session_);
    SendMessageHead(head, boundary_, RedirectOf(entry), configuration_, message.stamp);
    SendTemplateTextPart(head, boundary_, message.subject, header_template_, shown, message.size);
    SendAttachmentHead(head, boundary_, as_packet ? RandomPacketName() : shown);
  }
  message.laid.head = std::move(head.lines);
  LineCollector tail;
  tail.SendLine("");  // the end of the attachment part
  SendClosing(tail, boundary_);
  message.laid.tail = std::move(tail.lines);
  return true;
}

// The smaller of the server's SIZE and MAXMESSAGESIZE; 0: none known.
std::uint64_t Dialogue::Limit() const {
  std::uint64_t limit = configuration_.MAXMESSAGESIZE;
  if (size_offer_.announced && size_offer_.limit > 0 && (limit == 0 || size_offer_.limit < limit))
    limit = size_offer_.limit;
  return limit;
}

void Dialogue::SendLaidOut(Message& message) {
  const std::uint64_t bytes = message.laid.Bytes();
  const std::uint64_t limit = Limit();
  const std::uint64_t target = limit - limit / kHeadroomDivisor;
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
  if (SendTransaction(message, entries, LineCollector(), {0, message.laid.LineCount()},
                      "-- Sending " + platform::BaseName(path) + " " + message.file_size_text + "b",
                      envelope) == Outcome::Confirmed) {
    Confirm(message, envelope);
  }
}

// Too large for the server and not to be split: nothing is uploaded, the
// file waits listed.
void Dialogue::Hold(Message& message, std::uint64_t bytes, std::uint64_t limit, const char* why) {
  const std::string path = list_.Entry(message.current).Path;
  Log("-- Held " + path + ": " + std::to_string(bytes) + " bytes as a message, limit " +
      std::to_string(limit) + " (" + why + ")");
  for (const int i : EntriesOfFile(message)) list_.Entry(i).State = SendState::Skipped;
  session_.NoteShortfall(net::Shortfall{path, {}, net::Permanence::Permanent});
}

// The message as pieces of "message/partial" (RFC 2046 5.2.2), each its own
// transaction under the limit. The file is done only when every piece is
// confirmed; a set cut short goes whole again next run, under a new set id
// only when the record says the first one was confirmed.
void Dialogue::SendInPieces(Message& message, std::uint64_t target) {
  const SendEntry& entry = list_.Entry(message.current);
  const config::RedirectEntry& redirect = RedirectOf(entry);
  const std::string set_id = PieceSetId(message.stamp.message_id);
  const auto head_of = [&](std::uint64_t number, std::uint64_t total) {
    LineCollector head;
    SendPieceHead(
        head, {set_id, number, total}, redirect, configuration_,
        {message.stamp.date, PieceMessageId(message.stamp.message_id, number)},
        message.subject + " (" + std::to_string(number) + "/" + std::to_string(total) + ")");
    return head;
  };
  const std::uint64_t bound = head_of(kMaxPieces, kMaxPieces).Bytes();
  const std::vector<LineRange> pieces =
      bound < target ? CutIntoPieces(message.laid, target - bound) : std::vector<LineRange>();
  if (pieces.empty() || pieces.size() > kMaxPieces) {
    Hold(message, message.laid.Bytes(), Limit(), "it cannot be split");
    return;
  }
  const std::uint64_t total = pieces.size();
  const std::string remark = "-- Sending " + platform::BaseName(entry.Path) + " " +
                             message.file_size_text + "b in " + std::to_string(total) + " pieces";
  std::vector<int> entries = EntriesOfFile(message);
  Envelope envelope;
  for (std::uint64_t number = 1; number <= total; ++number) {
    if (SendTransaction(message, entries, head_of(number, total), pieces[number - 1],
                        number == 1 ? remark : std::string(), envelope) != Outcome::Confirmed) {
      return;
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
// end of the data and the server's answer. The remark goes to the pane, as
// every line logged while the data flows.
Dialogue::Outcome Dialogue::SendTransaction(Message& message, std::vector<int>& entries,
                                            const LineCollector& piece_head, LineRange range,
                                            const std::string& remark, Envelope& envelope_r) {
  const std::uint64_t bytes = piece_head.Bytes() + RangeBytes(message.laid, range);
  envelope_r = SendEnvelope(message, entries, bytes);
  if (envelope_r.accepted == 0 && !Aborted()) return Outcome::Refused;
  if (!envelope_r.data_ready) {
    Log("-- Error sending aborting!");
    session_.Abort();
    return Outcome::Failed;
  }
  {
    const net::SuspendedLog quiet(session_);
    if (!remark.empty()) Log(remark);
    for (const std::string& line : piece_head.lines) sink_.SendLine(line);
    SendRange(message, range);
    sink_.SendEndOfData();
  }
  Show(Field::CurrentPercent, "100%");
  Show(Field::CurrentProgress, message.file_size_text);
  Show(Field::SecondsLeftofFile, "");
  return Judge(message, AwaitConfirmation());
}

void Dialogue::SendRange(Message& message, LineRange range) {
  const LaidOutMessage& laid = message.laid;
  const std::uint64_t head = laid.head.size();
  const std::uint64_t base64_end = head + laid.Base64Lines();
  for (std::uint64_t i = range.first; i < std::min(range.end, head); ++i) {
    sink_.SendLine(laid.head[i]);
  }
  const std::uint64_t first = std::max(range.first, head);
  const std::uint64_t end = std::min(range.end, base64_end);
  if (first < end && !Aborted()) {
    const std::string& path = list_.Entry(message.current).Path;
    const std::uint64_t from = (first - head) * core::kBase64BlockBytes;
    const std::uint64_t to = std::min(laid.file_bytes, (end - head) * core::kBase64BlockBytes);
    if (::fseeko(message.file.get(), static_cast<off_t>(from), SEEK_SET) != 0) {
      Log("-- Error reading " + path);
      session_.Abort();
      return;
    }
    TransferFile(message, message.file.get(), platform::BaseName(path), end - first, to - from);
  }
  for (std::uint64_t i = std::max(range.first, base64_end); i < range.end; ++i) {
    sink_.SendLine(laid.tail[i - base64_end]);
  }
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
  // The path as it is on disk, as a log line a month later will show it.
  if (!sent_.Record({0, message.message_id, RedirectOf(entry).Address, addresses,
                     platform::ResolveName(entry.Path)},
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
  size_offer_ = OpenSmtpConversation(session_, configuration_);

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
    if (SmallBundle(entry) ||
        (configuration_.BusyFiles &&
         !message.flags.Take(list_, current, configuration_.BSYAGE,
                             [this](const std::string& line) { Log(line); }))) {
      entry.State = SendState::Skipped;
      continue;
    }
    SendOneFile(message);
    message.flags.Drop();
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
