// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/pop3_dialogue.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <map>

#include "core/le_bytes.h"
#include "core/stopwatch.h"
#include "core/text_utils.h"
#include "platform/error_text.h"
#include "platform/file_names.h"
#include "platform/files.h"
#include "platform/program_home.h"
#include "receive/attachment_decoder.h"
#include "receive/attachment_names.h"
#include "receive/body_reader.h"
#include "receive/delivery_report.h"
#include "receive/header_filter.h"
#include "receive/pop3_login.h"
#include "receive/pop3_reply.h"
#include "receive/received_journal.h"

namespace kestrel::receive {
namespace {

using core::Field;

// Saved texts that already exist are skipped, never overwritten; past this
// many the directory is treated as unwritable.
constexpr int kMaxSavedTextSkips = 10000;
constexpr int kSavedTextDigits = 8;
// Messages looked at in one run, whatever count STAT announces.
constexpr std::int32_t kMaxWalkMessages = 100'000;
// A UIDL line: a message number, a blank and at most 70 characters.
constexpr std::uint64_t kMaxUidlLineBytes = 84;
// What a server may send beyond a message's announced size (line ends it
// counts as one byte, dot-stuffing, the status and "." lines).
constexpr std::uint64_t kSizeSlackBytes = 64 * 1024;

// The bytes a server may send for a message of `size` octets: a quarter
// more, and some.
std::uint64_t WithSlack(std::uint64_t size) {
  return size + size / 4 + kSizeSlackBytes;
}

// Third word of "+OK 3 1200" (LIST n), when it is a number.
std::optional<std::uint64_t> ListedSize(std::string_view reply) {
  const auto first = reply.find(' ');
  if (first == std::string_view::npos) return std::nullopt;
  const auto second = reply.find(' ', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  std::string_view size = reply.substr(second + 1);
  size = size.substr(0, size.find(' '));
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(size.data(), size.data() + size.size(), value);
  if (error != std::errc() || end != size.data() + size.size()) return std::nullopt;
  return value;
}

// How the head of a message came out.
enum class Head { Read, Refused, TooLong, Lost };

void Log(net::NetSession& session, std::string_view text) {
  net::LogLine(session, text);
}

class Pop3Walk {
 public:
  Pop3Walk(net::NetSession& session, const config::Configuration& configuration)
      : session_(session),
        configuration_(configuration),
        front_end_(session.logger.front_end()),
        save_directory_(SaveDirectory(configuration)),
        inbound_(InboundDirectory(configuration)),
        mailbox_(configuration.POPUSERNAME + "@" + configuration.POPSERVER + ":" +
                 std::to_string(configuration.POPPORT)),
        decoder_(
            front_end_, [&session](std::string_view line) { net::LogLine(session, line); },
            inbound_),
        reader_([this](char* buffer, std::size_t capacity) { return ReadData(buffer, capacity); }) {
  }

  void Run() {
    const bool walk_entered = Login() && InboundUsable() && JournalUsable();
    if (walk_entered) {
      RemoveStalePartialFiles(inbound_);
      highest_ = ReadHighestNumber(save_directory_);
      ReadUniqueIds();
      const std::int32_t count = std::min(size_.messages, kMaxWalkMessages);
      if (count < size_.messages) {
        Log(session_, "-- Only the first " + std::to_string(count) + " messages are looked at");
        session_.Incomplete = true;
      }
      for (std::int32_t number = 1; number <= count; ++number) {
        if (session_.IsAborted() || Stopped() || !TakeOrSkip(number)) break;
      }
      if (!WriteHighestNumber(save_directory_, highest_)) {
        Log(session_, "-- Could not write " + save_directory_ + std::string(kHighestFileName));
        session_.Incomplete = true;
      }
    }
    net::SendLine(session_, "QUIT");
    (void)ReadPop3Reply(session_);
    if (mail_received_ && !configuration_.EMAILARRIVED.empty()) {
      (void)platform::OpenFile(configuration_.EMAILARRIVED, "wb");
    }
  }

 private:
  // A configured inbound that is missing or read-only would turn every
  // message away; nothing is taken then.
  bool InboundUsable() {
    if (configuration_.INBOUND.empty()) Log(session_, "-- No INBOUND set, files go to " + inbound_);
    const std::string path = platform::ResolveName(inbound_);
    if (::access(path.c_str(), W_OK | X_OK) == 0) return true;
    Log(session_, "-- Inbound " + path + " cannot be used (" + platform::ErrorText(errno) +
                      "), nothing taken");
    session_.Incomplete = true;
    return false;
  }

  // A journal that cannot be read would let every message in again.
  bool JournalUsable() {
    std::string error;
    if (journal_.Load(std::time(nullptr), error)) return true;
    Log(session_, "-- Could not read " + journal_.path() + " (" + error + "), nothing taken");
    session_.Incomplete = true;
    return false;
  }

  // UIDL: the server's lasting name of each message, when it has them.
  void ReadUniqueIds() {
    if (size_.messages <= 0) return;
    net::SendLine(session_, "UIDL");
    if (!IsOk(ReadPop3Reply(session_, net::Echo::Quiet))) return;
    const auto count = static_cast<std::uint64_t>(size_.messages);
    const net::Reply list =
        net::ReadDotList(session_, count, net::Echo::Quiet,
                         net::TransferBounds(count * kMaxUidlLineBytes + kSizeSlackBytes));
    for (const std::string& line : list.lines) {
      const std::size_t blank = line.find(' ');
      if (blank == std::string::npos) continue;
      unique_ids_[core::TextToInt(line.substr(0, blank))] = line.substr(blank + 1);
    }
  }

  // A Stop between commands ends the walk; QUIT follows, so that what was
  // saved is deleted on the server.
  bool Stopped() {
    if (!session_.StopRequested()) return false;
    session_.Incomplete = true;
    return true;
  }

  [[nodiscard]] std::string UniqueId(std::int32_t number) const {
    const auto uid = unique_ids_.find(number);
    return uid == unique_ids_.end() ? std::string() : uid->second;
  }

  // Login and STAT; true when STAT was accepted.
  bool Login() {
    if (!Pop3Login(session_, configuration_)) return false;
    net::SendLine(session_, "STAT");
    const net::Reply reply = ReadPop3Reply(session_);
    if (!IsOk(reply)) {
      Log(session_, "-- Could not connect (" + reply.last() + ")");
      session_.Abort();
      return false;
    }
    size_ = ParseStatReply(reply.last());
    front_end_.SetField(Field::GetTotalMessages, std::to_string(size_.messages));
    front_end_.SetField(Field::GetTotalBytes, std::to_string(size_.bytes));
    if (size_.messages == 0) Log(session_, "<- No messages waiting");
    if (!session_.IsAborted()) {
      Log(session_, "-- Messages waiting: " + std::to_string(size_.messages) + " (" +
                        std::to_string(size_.bytes) + "b)");
    }
    return true;
  }

  // LIST n: what the server may send for the message. False when the server
  // has no such message, though STAT counted it: the walk ends there.
  bool ListMessage(std::int32_t number) {
    const std::string n = std::to_string(number);
    net::SendLine(session_, "LIST " + n);
    const net::Reply reply = ReadPop3Reply(session_);
    if (session_.IsAborted()) return false;
    if (!IsOk(reply)) {
      Log(session_, "-- The server has no message " + n + " (" + reply.last() +
                        "), though it counted " + std::to_string(size_.messages));
      session_.Incomplete = true;
      return false;
    }
    // A message is no larger than the mailbox when LIST does not say.
    const std::uint64_t size =
        ListedSize(reply.last()).value_or(static_cast<std::uint64_t>(std::max(size_.bytes, 0)));
    message_bounds_ = net::TransferBounds(WithSlack(size));
    return true;
  }

  // One message of the walk; false when the walk must end without an abort.
  bool TakeOrSkip(std::int32_t number) {
    const std::string n = std::to_string(number);
    front_end_.SetField(Field::GetCurrentMsg, n);
    front_end_.SetField(Field::GetFilename, "");
    front_end_.SetField(Field::GetByteProgress, "");
    if (!ListMessage(number)) return false;

    const Head head = ReadHeader(number);
    if (session_.Closed) session_.Abort();  // nothing more can be said to a closed server
    if (session_.IsAborted()) return true;
    switch (head) {
      case Head::Read:
        heads_read_ = true;
        break;
      case Head::Refused:
        // A server that gives no heads at all would log this for every message.
        return heads_read_;
      case Head::TooLong:
      case Head::Lost:
        return true;
    }
    if (!AcceptMessage(configuration_.Filters, header_.lines())) {
      Log(session_, "-- Skipping message " + n);
      return true;
    }
    if (journal_.IsSuspect(mailbox_, UniqueId(number), header_.message_id())) {
      const std::optional<std::string> digest = Fingerprint(number);
      if (session_.IsAborted()) return true;
      if (digest && journal_.IsCopy(mailbox_, UniqueId(number), header_.message_id(), *digest)) {
        Log(session_, "-- Message " + n + " already received, deleting");
        Delete(number);
        return true;
      }
      Log(session_, "-- Message " + n + " is not the one received before, taking it");
    }
    if (Stopped()) return false;
    return Take(number);
  }

  // Saves the message: its saved text, its files, then DELE. False when the
  // walk must end without an abort.
  bool Take(std::int32_t number) {
    const std::string n = std::to_string(number);
    ++highest_;
    std::string why;
    platform::UniqueFile saved = CreateSavedText(why);
    if (!saved) {
      Log(session_, "-- Could not write to SaveEmail directory (" + why + ")");
      --highest_;
      session_.Incomplete = true;
      return true;
    }
    Log(session_, "-- Message " + n + " matched filter");
    net::SendLine(session_, "LIST " + n);
    (void)ReadPop3Reply(session_);
    net::SendLine(session_, "RETR " + n);
    const net::Reply retr = ReadPop3Reply(session_);
    if (!IsOk(retr)) {
      // No data follows: the message stays, and so does its number.
      saved.reset();
      RemoveSavedText();
      if (session_.IsAborted()) return true;
      Log(session_,
          "-- Message " + n + " could not be fetched (" + retr.last() + "), left on the server");
      session_.Incomplete = true;
      return true;
    }
    const MessageOutcome outcome = ReceiveData(saved.get(), DecodeMode::Save);
    const bool saved_closed = std::fclose(saved.release()) == 0;
    if (!saved_closed) {
      Log(session_, "-- Could not write to SaveEmail directory (" + SavedTextPath(highest_) + ": " +
                        platform::ErrorText(errno) + ")");
    }
    return Conclude(number, outcome, saved_closed);
  }

  // A message the journal may know, fetched once without writing anything:
  // the fingerprint of its content, when it came whole.
  std::optional<std::string> Fingerprint(std::int32_t number) {
    const std::string n = std::to_string(number);
    Log(session_, "-- Message " + n + " may have been received before, comparing");
    net::SendLine(session_, "RETR " + n);
    if (!IsOk(ReadPop3Reply(session_, net::Echo::Quiet))) return std::nullopt;
    const MessageOutcome outcome = ReceiveData(nullptr, DecodeMode::VerifyOnly);
    if (session_.Closed) session_.Abort();
    if (!outcome.whole || outcome.content_digest.empty()) return std::nullopt;
    return outcome.content_digest;
  }

  // What becomes of a fetched message: deleted on the server once everything
  // of it is on disk, else left there. False when the walk must end.
  bool Conclude(std::int32_t number, const MessageOutcome& outcome, bool saved_closed) {
    const std::string n = std::to_string(number);
    if (!session_.IsAborted() && outcome.whole && saved_closed) {
      if (outcome.delivery_report) {
        for (const std::string& line : DeliveryReportLines(*outcome.delivery_report, n)) {
          Log(session_, line);
        }
        session_.Incomplete = true;
      }
      return Commit(number, outcome);
    }
    if (session_.Closed) session_.Abort();
    // Fetched again on a later run, it must not leave a second saved text.
    RemoveSavedText();
    const std::string& id = header_.message_id();
    std::string line =
        "-- Message " + n + " left on the server" + (id.empty() ? std::string() : " (" + id + ")");
    if (session_.IsAborted()) line += ": its data broke off";
    Log(session_, line);
    session_.Incomplete = true;
    if (session_.IsAborted()) return true;
    // A message of its own kind is skipped; a disk that failed would fail
    // every later message as well.
    return !outcome.every_message && saved_closed;
  }

  // Everything of the message is written: it goes to the disk, into the
  // journal, and only then may the server drop it. False when the walk must
  // end (the disk or the journal failed).
  bool Commit(std::int32_t number, const MessageOutcome& outcome) {
    const std::string n = std::to_string(number);
    // After a power cut the saved text and the files must still be there
    // under their names once the server has dropped the message; and the
    // journal must know it, or a DELE lost on the way brings it in twice.
    std::string failed;
    if (!platform::SyncDirectory(save_directory_)) {
      failed = save_directory_ + ": " + platform::ErrorText(errno);
    } else if (!platform::SyncDirectory(inbound_)) {
      failed = inbound_ + ": " + platform::ErrorText(errno);
    } else if (std::string error;
               !journal_.Record(mailbox_, UniqueId(number), header_.message_id(),
                                outcome.content_digest, std::time(nullptr), error)) {
      failed = journal_.path() + ": " + error;
    }
    if (!failed.empty()) {
      // Files that are not durably known must not stay: the message comes
      // again whole on a later run, and nothing arrives twice.
      for (const std::string& name : outcome.files) (void)platform::DeleteFile(inbound_ + name);
      RemoveSavedText();
      Log(session_, "-- Could not write " + failed + ", message " + n + " left on the server");
      session_.Incomplete = true;
      return false;
    }
    mail_received_ = true;
    Delete(number);
    return true;
  }

  void Delete(std::int32_t number) {
    const std::string n = std::to_string(number);
    net::SendLine(session_, "DELE " + n);
    const net::Reply reply = ReadPop3Reply(session_, net::Echo::Quiet);
    if (IsOk(reply) || session_.IsAborted()) return;
    Log(session_, "-- Message " + n + " could not be deleted on the server (" + reply.last() + ")");
    session_.Incomplete = true;
  }

  // TOP n 1: the head lines, read up to the "." line.
  Head ReadHeader(std::int32_t number) {
    const std::string n = std::to_string(number);
    header_.Clear();
    net::SendLine(session_, "TOP " + n + " 1");
    const net::Reply status = ReadPop3Reply(session_, net::Echo::Quiet);
    if (!status.ok()) return Head::Lost;
    if (!IsOk(status)) {
      Log(session_, heads_read_ ? "-- No head of message " + n + " (" + status.last() + "), skipped"
                                : "-- The server gives no message heads (TOP: " + status.last() +
                                      "), nothing taken");
      session_.Incomplete = true;
      return Head::Refused;
    }
    const net::Reply head =
        net::ReadDotList(session_, kMaxHeaderLines, net::Echo::Quiet, message_bounds_);
    if (!head.ok()) return Head::Lost;
    if (head.dropped > 0) {
      Log(session_, "-- Head of message " + n + " longer than " + std::to_string(kMaxHeaderLines) +
                        " lines, skipped");
      session_.Incomplete = true;
      return Head::TooLong;
    }
    for (const std::string& line : head.lines) header_.Add(line);
    return Head::Read;
  }

  // The message data through the scanner, with the log file suspended; what
  // the scanner has to report reaches the log file afterwards.
  MessageOutcome ReceiveData(std::FILE* saved, DecodeMode mode) {
    const bool was_suspended = session_.LogSuspended;
    session_.LogSuspended = true;
    session_.InMessageData = true;
    decoder_.StartMessage(saved, core::ZeroPadNumber(highest_, kSavedTextDigits),
                          SavedTextPath(highest_), mode);
    reader_.Reset();
    data_left_ = message_bounds_.max_bytes;
    data_clock_.Start();
    bool complete = false;
    BodyPiece piece;
    while (!session_.IsAborted()) {
      // Inside the data a Stop can only cut the connection: the message stays.
      if (session_.StopRequested()) session_.Abort();
      const BodyStatus status = reader_.ReadBodyLine(piece);
      if (status == BodyStatus::EndOfData) {
        complete = true;
        break;
      }
      if (status == BodyStatus::NoData) break;
      decoder_.ScanBodyLine(piece.text, piece.line_ends);
    }
    // Bytes beyond the "." line are the server's next words.
    if (complete) net::PutBack(session_, reader_.Unread());
    session_.InMessageData = false;
    MessageOutcome outcome = decoder_.EndOfMessage(complete);
    session_.LogSuspended = was_suspended;
    for (const std::string& line : outcome.report) Log(session_, line);
    return outcome;
  }

  // The body reader's source: the connection, within the message's bounds.
  std::size_t ReadData(char* buffer, std::size_t capacity) {
    if (data_clock_.ElapsedSeconds() >= message_bounds_.max_seconds) {
      Log(session_, "-- Message data not complete within " +
                        std::to_string(message_bounds_.max_seconds) + " seconds, aborting");
      session_.Abort();
      return 0;
    }
    const std::size_t count = net::ReceiveSome(session_, buffer, capacity);
    if (count > data_left_) {
      Log(session_, "-- Message data longer than " + std::to_string(message_bounds_.max_bytes) +
                        " bytes, aborting");
      session_.Abort();
      return 0;
    }
    data_left_ -= count;
    return count;
  }

  [[nodiscard]] std::string SavedTextPath(std::int32_t number) const {
    return save_directory_ + core::ZeroPadNumber(number, kSavedTextDigits) + ".TXT";
  }

  // The saved text of a message that stays on the server goes, and its
  // number is given again.
  void RemoveSavedText() {
    (void)platform::DeleteFile(SavedTextPath(highest_));
    --highest_;
  }

  // The saved text under the next number; existing texts are not
  // overwritten. Null with the path and reason in `why_r` when it cannot be
  // created.
  platform::UniqueFile CreateSavedText(std::string& why_r) {
    const std::int32_t first = highest_;
    for (int skip = 0; skip <= kMaxSavedTextSkips; ++skip) {
      platform::UniqueFile file = platform::OpenFile(SavedTextPath(highest_), "wbx");
      if (file || errno != EEXIST) {
        if (file && highest_ != first) {
          Log(session_, "-- Saved texts " + std::to_string(first) + " to " +
                            std::to_string(highest_ - 1) + " already exist, using " +
                            std::to_string(highest_));
        }
        if (!file) why_r = SavedTextPath(highest_) + ": " + platform::ErrorText(errno);
        return file;
      }
      ++highest_;
    }
    why_r = SavedTextPath(first) + " to " + SavedTextPath(highest_) + " all exist";
    return nullptr;
  }

  net::NetSession& session_;
  const config::Configuration& configuration_;
  core::FrontEnd& front_end_;
  const std::string save_directory_;
  const std::string inbound_;
  const std::string mailbox_;  // whose unique ids they are
  ReceivedJournal journal_;
  std::map<std::int32_t, std::string> unique_ids_;  // by message number
  AttachmentDecoder decoder_;
  BodyReader reader_;
  HeaderLines header_;
  MailboxSize size_;
  net::ReadBounds message_bounds_;  // of the message being read
  std::uint64_t data_left_ = 0;     // of its data
  core::Stopwatch data_clock_;
  std::int32_t highest_ = 0;
  bool heads_read_ = false;  // the server has given a head this run
  bool mail_received_ = false;
};

}  // namespace

std::string SaveDirectory(const config::Configuration& configuration) {
  if (!configuration.SAVEEMAIL.empty()) return configuration.SAVEEMAIL;
  return platform::ProgramHome() + "/";
}

std::string InboundDirectory(const config::Configuration& configuration) {
  if (!configuration.INBOUND.empty()) return configuration.INBOUND;
  return platform::ProgramHome() + "/";
}

std::int32_t ReadHighestNumber(const std::string& directory) {
  const auto bytes = platform::ReadFilePrefix(directory + std::string(kHighestFileName), 4);
  if (!bytes) return 0;
  core::ByteReader reader(*bytes);
  return static_cast<std::int32_t>(reader.U32le());  // 0 when short
}

bool WriteHighestNumber(const std::string& directory, std::int32_t number) {
  std::string bytes;
  core::ByteWriter(bytes).U32le(static_cast<std::uint32_t>(number));
  return platform::ReplaceFileContent(directory + std::string(kHighestFileName), bytes);
}

MailboxSize ParseStatReply(std::string_view reply) {
  MailboxSize size;
  std::string_view rest = reply.substr(reply.size() < 4 ? reply.size() : 4);
  const auto blank = rest.find(' ');
  if (blank == std::string_view::npos) return size;
  size.messages = core::TextToInt(rest.substr(0, blank));
  rest.remove_prefix(blank + 1);
  size.bytes = core::TextToInt(rest.substr(0, rest.find(' ')));
  return size;
}

net::Endpoint Pop3Endpoint(const config::Configuration& configuration) {
  return {configuration.POPSERVER, configuration.POPPORT, "pop3", kDefaultPop3Port,
          configuration.NETTIMEOUT};
}

void RunPop3Dialogue(net::NetSession& session, const config::Configuration& configuration) {
  Pop3Walk(session, configuration).Run();
}

}  // namespace kestrel::receive
