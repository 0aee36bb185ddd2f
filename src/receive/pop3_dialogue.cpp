// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/pop3_dialogue.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <map>

#include "core/le_bytes.h"
#include "core/text_utils.h"
#include "platform/error_text.h"
#include "platform/file_names.h"
#include "platform/files.h"
#include "platform/program_home.h"
#include "receive/attachment_decoder.h"
#include "receive/attachment_names.h"
#include "receive/body_reader.h"
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
        reader_([&session](char* buffer, std::size_t capacity) {
          return net::ReceiveSome(session, buffer, capacity);
        }) {}

  void Run() {
    const bool walk_entered = Login() && InboundUsable() && JournalUsable();
    if (walk_entered) {
      RemoveStalePartialFiles(inbound_);
      highest_ = ReadHighestNumber(save_directory_);
      ReadUniqueIds();
      for (std::int32_t number = 1; number <= size_.messages; ++number) {
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
    const net::Reply list = net::ReadDotList(
        session_, static_cast<std::size_t>(std::max(size_.messages, 0)), net::Echo::Quiet,
        net::TransferBounds(64 * 1024 * 1024));
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

  // A message this journal knows was saved on an earlier run.
  bool AlreadyReceived(std::int32_t number) const {
    const auto uid = unique_ids_.find(number);
    return (uid != unique_ids_.end() && journal_.HasUid(mailbox_, uid->second)) ||
           journal_.HasMessageId(header_.message_id());
  }

  void DeleteAgain(std::int32_t number) {
    Log(session_, "-- Message " + std::to_string(number) + " already received, deleting");
    net::SendLine(session_, "DELE " + std::to_string(number));
    (void)ReadPop3Reply(session_, net::Echo::Quiet);
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

  // One message of the walk; false when the walk must end without an abort.
  bool TakeOrSkip(std::int32_t number) {
    const std::string n = std::to_string(number);
    front_end_.SetField(Field::GetCurrentMsg, n);
    front_end_.SetField(Field::GetFilename, "");
    front_end_.SetField(Field::GetByteProgress, "");
    net::SendLine(session_, "LIST " + n);
    (void)ReadPop3Reply(session_);

    const bool have_header = ReadHeader(number);
    if (session_.Closed) session_.Abort();  // nothing more can be said to a closed server
    if (session_.IsAborted() || !have_header) return true;
    if (!AcceptMessage(configuration_.Filters, header_.lines())) {
      Log(session_, "-- Skipping message " + n);
      return true;
    }
    if (AlreadyReceived(number)) {
      DeleteAgain(number);
      return true;
    }
    if (Stopped()) return false;
    ++highest_;
    platform::UniqueFile saved = CreateSavedText();
    if (!saved) {
      Log(session_, "-- Could not write to SaveEmail directory");
      session_.Incomplete = true;
      return true;
    }
    Log(session_, "-- Message " + n + " matched filter");
    net::SendLine(session_, "LIST " + n);
    (void)ReadPop3Reply(session_);
    net::SendLine(session_, "RETR " + n);
    if (!IsOk(ReadPop3Reply(session_)) || session_.IsAborted()) return true;  // no data follows

    const MessageOutcome outcome = ReceiveData(saved.get());
    const bool saved_closed = std::fclose(saved.release()) == 0;
    if (!saved_closed) Log(session_, "-- Could not write to SaveEmail directory");
    return Conclude(number, outcome, saved_closed);
  }

  // What becomes of a fetched message: deleted on the server once everything
  // of it is on disk, else left there. False when the walk must end.
  bool Conclude(std::int32_t number, const MessageOutcome& outcome, bool saved_closed) {
    if (!session_.IsAborted() && outcome.whole && saved_closed) return DeleteOnServer(number);
    if (session_.Closed) session_.Abort();
    if (session_.IsAborted()) return true;
    // Fetched again on a later run, it must not leave a second saved text.
    (void)platform::DeleteFile(SavedTextPath(highest_));
    --highest_;
    const std::string& id = header_.message_id();
    Log(session_, "-- Message " + std::to_string(number) + " left on the server" +
                      (id.empty() ? std::string() : " (" + id + ")"));
    session_.Incomplete = true;
    // A message of its own kind is skipped; a disk that failed would fail
    // every later message as well.
    return !outcome.every_message && saved_closed;
  }

  // Everything of the message is written and synced: only then may the
  // server drop it. False when the walk must end (the journal failed).
  bool DeleteOnServer(std::int32_t number) {
    // After a power cut the saved text and the files must still be there
    // under their names once the server has dropped the message; and the
    // journal must know it, or a DELE lost on the way brings it in twice.
    (void)platform::SyncDirectory(save_directory_);
    (void)platform::SyncDirectory(inbound_);
    mail_received_ = true;
    const auto uid = unique_ids_.find(number);
    std::string error;
    if (!journal_.Record(mailbox_, uid == unique_ids_.end() ? std::string() : uid->second,
                         header_.message_id(), std::time(nullptr), error)) {
      Log(session_, "-- Could not write " + journal_.path() + " (" + error + "), message " +
                        std::to_string(number) + " left on the server");
      session_.Incomplete = true;
      return false;
    }
    net::SendLine(session_, "DELE " + std::to_string(number));
    (void)ReadPop3Reply(session_, net::Echo::Quiet);
    return true;
  }

  // TOP n 1: the head lines, read up to the "." line; false when the server
  // refused (no list follows).
  bool ReadHeader(std::int32_t number) {
    header_.Clear();
    net::SendLine(session_, "TOP " + std::to_string(number) + " 1");
    const net::Reply status = ReadPop3Reply(session_, net::Echo::Quiet);
    if (!IsOk(status)) {
      if (status.ok())
        Log(session_, "-- No head of message " + std::to_string(number) + " (" + status.last() +
                          "), skipped");
      return false;
    }
    const net::Reply head = net::ReadDotList(session_, kMaxHeaderLines, net::Echo::Quiet, net::TransferBounds(64 * 1024 * 1024));
    if (head.dropped > 0) {
      Log(session_, "-- Head of message " + std::to_string(number) + " longer than " +
                        std::to_string(kMaxHeaderLines) + " lines, skipped");
      return false;
    }
    for (const std::string& line : head.lines) header_.Add(line);
    return true;
  }

  // The message data through the scanner, with the log file suspended; what
  // the scanner has to report reaches the log file afterwards.
  MessageOutcome ReceiveData(std::FILE* saved) {
    const bool was_suspended = session_.LogSuspended;
    session_.LogSuspended = true;
    session_.InMessageData = true;
    decoder_.StartMessage(saved, core::ZeroPadNumber(highest_, kSavedTextDigits));
    reader_.Reset();
    bool complete = false;
    BodyPiece piece;
    while (!session_.IsAborted()) {
      // Inside the data a Stop can only cut the connection: the message stays.
      if (session_.StopRequested()) session_.Abort();
      const BodyStatus status = reader_.ReadBodyLine(piece);
      if (status == BodyStatus::EndOfData) {
        complete = true;
        net::PutBack(session_, reader_.Unread());
        break;
      }
      if (status == BodyStatus::NoData) break;
      decoder_.ScanBodyLine(piece.text, piece.line_ends);
    }
    session_.InMessageData = false;
    MessageOutcome outcome = decoder_.EndOfMessage(complete);
    session_.LogSuspended = was_suspended;
    for (const std::string& line : outcome.report) Log(session_, line);
    return outcome;
  }

  [[nodiscard]] std::string SavedTextPath(std::int32_t number) const {
    return save_directory_ + core::ZeroPadNumber(number, kSavedTextDigits) + ".TXT";
  }

  // The saved text under the next number; existing texts are not overwritten.
  platform::UniqueFile CreateSavedText() {
    const std::int32_t first = highest_;
    for (int skip = 0; skip <= kMaxSavedTextSkips; ++skip) {
      platform::UniqueFile file = platform::OpenFile(SavedTextPath(highest_), "wbx");
      if (file || errno != EEXIST) {
        if (file && highest_ != first) {
          Log(session_, "-- Saved texts " + std::to_string(first) + " to " +
                            std::to_string(highest_ - 1) + " already exist, using " +
                            std::to_string(highest_));
        }
        return file;
      }
      ++highest_;
    }
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
  std::int32_t highest_ = 0;
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
