// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/imap_dialogue.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "core/text_utils.h"
#include "receive/header_filter.h"
#include "receive/imap_channel.h"
#include "receive/imap_fetch.h"
#include "receive/imap_idle.h"
#include "receive/imap_login.h"
#include "receive/message_intake.h"

namespace kestrel::receive {
namespace {

using core::Field;
using net::Echo;

// Messages looked at in one walk, whatever count the folder announces.
constexpr std::size_t kMaxWalkMessages = 100'000;
// A line of the folder's listing ("* 12 FETCH (UID 34 RFC822.SIZE 5678 FLAGS
// (\Seen))") is far shorter; and new messages may be announced meanwhile.
constexpr std::uint64_t kMaxListingLineBytes = 256;
constexpr std::size_t kListingSlackLines = 1000;
// A head kept in memory for the filters: a thousand lines of a kilobyte.
constexpr std::uint64_t kMaxHeadBytes = kMaxHeaderLines * 1024;
// Walks follow each other no closer, whatever news the server announces.
constexpr auto kMinWalkInterval = std::chrono::seconds(2);
// A Stop ends the pause between walks this soon.
constexpr auto kPaceStep = std::chrono::milliseconds(100);
// What a server may send beyond a message's announced size.
constexpr std::uint64_t kSizeSlackBytes = 64 * 1024;

std::uint64_t WithSlack(std::uint64_t size) {
  return size + size / 4 + kSizeSlackBytes;
}

// A response that carries `data` bytes of literals besides its lines.
ImapBounds CarryingBounds(const net::ReadBounds& data) {
  const net::ReadBounds transfer =
      net::TransferBounds(data.max_bytes + net::kReplyBounds.max_bytes);
  return {{transfer.max_bytes, data.max_seconds + net::kReplyBounds.max_seconds},
          net::kMaxReplyLines};
}

struct Listed {
  std::uint32_t uid = 0;
  std::uint64_t size = 0;
  bool deleted = false;
};

// How the head of a message came out.
enum class Head { Read, Refused, TooLong, Gone, Lost };

class ImapWalk {
 public:
  ImapWalk(net::NetSession& session, const config::Configuration& configuration,
           const SentMessages* sent)
      : session_(session),
        configuration_(configuration),
        front_end_(session.logger.front_end()),
        folder_(configuration.IMAPFOLDER.empty() ? std::string("INBOX") : configuration.IMAPFOLDER),
        channel_(session),
        intake_(session, configuration,
                "imap:" + configuration.IMAPUSERNAME + "@" + configuration.IMAPSERVER + ":" +
                    std::to_string(configuration.IMAPPORT != 0
                                       ? configuration.IMAPPORT
                                       : ImapEndpoint(configuration).default_port) +
                    "/" + folder_,
                sent) {}

  void Run(ImapWaiting& waiting) {
    std::optional<ImapCapabilities> capabilities = ImapLogin(channel_, configuration_);
    if (capabilities) capabilities_ = std::move(*capabilities);
    if (capabilities && Select()) {
      while (intake_.Open()) {
        (void)channel_.TakeNews();
        walk_started_ = std::chrono::steady_clock::now();
        Walk();
        intake_.Close();
        if (waiting.idle_seconds <= 0 || session_.IsAborted() || Stopped()) break;
        // Mail announced during the walk is taken without waiting for more.
        if (!channel_.TakeNews()) {
          waiting.idled = capabilities_.Has("IDLE");
          if (!WaitForMail(channel_, capabilities_, waiting.idle_seconds)) break;
        }
        if (!PaceWalks()) break;
      }
    }
    const std::string tag = channel_.Send("LOGOUT");
    (void)channel_.Finish(tag, kImapReplyBounds, Echo::Logged);
  }

 private:
  void Log(std::string_view text) { net::LogLine(session_, text); }

  // A server that announces news without end does not make the walks follow
  // each other closer than kMinWalkInterval; false when stopped meanwhile.
  bool PaceWalks() {
    const auto due = walk_started_ + kMinWalkInterval;
    for (auto now = std::chrono::steady_clock::now(); now < due;
         now = std::chrono::steady_clock::now()) {
      if (session_.IsAborted() || Stopped()) return false;
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(due - now, kPaceStep));
    }
    return !session_.IsAborted() && !Stopped();
  }

  // A Stop between commands ends the walk; LOGOUT follows.
  bool Stopped() {
    if (!session_.StopRequested()) return false;
    session_.NoteShortfall("the rest of " + folder_);
    return true;
  }

  // SELECT: the folder's message count and UIDVALIDITY, which makes its
  // UIDs lasting names.
  bool Select() {
    const std::optional<std::string> name = Quoted(folder_);
    if (!name) {
      Log("-- Folder name " + folder_ + " cannot be sent to the server, nothing taken");
      session_.NoteShortfall(net::Shortfall{folder_, {}, net::Permanence::Permanent});
      return false;
    }
    std::optional<std::uint32_t> validity;
    const std::string tag = channel_.Send("SELECT " + *name);
    const ImapResult result =
        channel_.Finish(tag, kImapReplyBounds, Echo::Logged, [&](const ImapLine& line) {
          constexpr std::string_view kCode = "[UIDVALIDITY ";
          if (line.continued) return;
          const std::string upper = core::UpperCase(line.text);
          const std::size_t at = upper.find(kCode);
          if (at == std::string::npos) return;
          std::uint32_t value = 0;
          const char* const begin = upper.data() + at + kCode.size();
          const auto [end, error] = std::from_chars(begin, upper.data() + upper.size(), value);
          if (error == std::errc() && end != begin) validity = value;
        });
    if (session_.IsAborted()) return false;
    if (!result.ok()) {
      Log("-- Could not open folder " + folder_ + " (" + result.line + ")");
      session_.NoteShortfall(folder_, result.line);
      return false;
    }
    if (!validity) {
      Log("-- The server gives no UIDVALIDITY for " + folder_ + ", nothing taken");
      session_.NoteShortfall(net::Shortfall{folder_, {}, net::Permanence::Permanent});
      return false;
    }
    validity_ = std::to_string(*validity);
    return true;
  }

  // The folder's messages in order, with their UIDs, sizes and flags.
  bool List() {
    listed_.clear();
    if (channel_.exists() <= 0) return true;
    const auto expected = static_cast<std::size_t>(channel_.exists()) + kListingSlackLines;
    const net::ReadBounds read = net::TransferBounds(expected * kMaxListingLineBytes);
    std::unordered_set<std::uint32_t> seen;
    const std::string tag = channel_.Send("UID FETCH 1:* (UID RFC822.SIZE FLAGS)");
    const ImapResult result =
        channel_.Finish(tag, {read, expected}, Echo::Quiet, [this, &seen](const ImapLine& line) {
          const std::optional<FetchItems> items =
              line.continued ? std::nullopt : ParseFetch(line.text);
          if (!items || !items->uid() || !items->size || listed_.size() >= kMaxWalkMessages) return;
          // A message listed twice is looked at once.
          if (seen.insert(*items->uid()).second) {
            listed_.push_back({*items->uid(), *items->size, items->deleted});
          }
        });
    if (session_.IsAborted()) return false;
    if (!result.ok()) {
      Log("-- Could not list the messages of " + folder_ + " (" + result.line + ")");
      session_.NoteShortfall(folder_, result.line);
      return false;
    }
    return true;
  }

  void Walk() {
    if (!List()) return;
    std::uint64_t bytes = 0;
    for (const Listed& message : listed_) bytes += message.size;
    front_end_.SetField(Field::GetTotalMessages, std::to_string(listed_.size()));
    front_end_.SetField(Field::GetTotalBytes, std::to_string(bytes));
    if (listed_.empty()) Log("<- No messages waiting");
    Log("-- Messages waiting: " + std::to_string(listed_.size()) + " (" + std::to_string(bytes) +
        "b)");
    if (listed_.size() == kMaxWalkMessages) {
      Log("-- Only the first " + std::to_string(kMaxWalkMessages) + " messages are looked at");
      session_.NoteShortfall("messages beyond " + std::to_string(kMaxWalkMessages));
    }
    for (std::size_t index = 0; index < listed_.size(); ++index) {
      if (session_.IsAborted() || Stopped() || !TakeOrSkip(index)) break;
    }
  }

  [[nodiscard]] std::string UniqueId(const Listed& message) const {
    return validity_ + "/" + std::to_string(message.uid);
  }

  // One message of the walk; false when the walk must end without an abort.
  bool TakeOrSkip(std::size_t index) {
    const Listed& message = listed_[index];
    const std::string n = std::to_string(message.uid);
    front_end_.SetField(Field::GetCurrentMsg, std::to_string(index + 1));
    front_end_.SetField(Field::GetFilename, "");
    front_end_.SetField(Field::GetByteProgress, "");
    message_bounds_ = net::TransferBounds(WithSlack(message.size));
    if (message.deleted) return ExpungeOwnMark(message);
    const Head head = ReadHeader(message);
    if (session_.IsAborted()) return true;
    switch (head) {
      case Head::Read:
        break;
      case Head::Refused:
      case Head::TooLong:
      case Head::Gone:
      case Head::Lost:
        return true;
    }
    if (!AcceptMessage(configuration_.Filters, header_.lines())) {
      // One per foreign message: the log keeps it, the console does not.
      net::LogLine(session_, "-- Skipping message " + n, core::LineKind::Detail);
      return true;
    }
    const std::string uid = UniqueId(message);
    if (intake_.IsSuspect(uid, header_.message_id())) {
      Log("-- Message " + n + " may have been received before, comparing");
      const std::optional<std::string> digest = Fingerprint(message);
      if (session_.IsAborted()) return true;
      if (digest && intake_.IsCopy(uid, header_.message_id(), *digest)) {
        Log("-- Message " + n + " already received, deleting");
        Remove(message);
        return true;
      }
      Log("-- Message " + n + " is not the one received before, taking it");
    }
    if (Stopped()) return false;
    return Take(message);
  }

  // A message marked deleted is ours to expunge only when it is one taken
  // before whose expunge was lost with the connection: the journal knows its
  // UID and its content is the same. Any other mark is another client's.
  bool ExpungeOwnMark(const Listed& message) {
    const std::string n = std::to_string(message.uid);
    const std::string uid = UniqueId(message);
    if (capabilities_.Has("UIDPLUS") && intake_.IsSuspect(uid, "")) {
      Log("-- Message " + n + " is marked deleted and may have been received before, comparing");
      const std::optional<std::string> digest = Fingerprint(message);
      if (session_.IsAborted()) return true;
      if (digest && intake_.IsCopy(uid, "", *digest)) {
        Log("-- Message " + n + " was taken before, expunging");
        (void)Command("UID EXPUNGE " + n,
                      "-- Message " + n + " could not be deleted on the server");
        return true;
      }
    }
    Log("-- Message " + n + " is marked deleted, skipped");
    return true;
  }

  // BODY.PEEK[HEADER]: the head lines, as TOP gives them to the POP3 walk.
  Head ReadHeader(const Listed& message) {
    const std::string n = std::to_string(message.uid);
    header_.Clear();
    Head head = Head::Gone;
    FetchItems items;
    std::optional<std::string> text;  // a head whose UID may yet follow
    bool too_long = false;
    const std::string tag = channel_.Send("UID FETCH " + n + " BODY.PEEK[HEADER]");
    const ImapResult result = channel_.Finish(
        tag, CarryingBounds(message_bounds_), Echo::Quiet, [&](const ImapLine& line) {
          if (!Follow(line, items) || head != Head::Gone) return;
          if (line.literal && items.literal_item == "BODY[HEADER]" &&
              items.MayBeAbout(message.uid) && !text && !too_long) {
            // One too long is read past by the channel.
            too_long = *line.literal > kMaxHeadBytes;
            if (!too_long) {
              text = channel_.ReadLiteral(*line.literal);
              channel_.LiteralTaken();
            }
          }
          if (line.literal) return;  // the response goes on
          if ((text || too_long) && items.About(message.uid)) {
            head = too_long || !TakeHeadLines(*text) ? Head::TooLong : Head::Read;
          }
          text.reset();
          too_long = false;
        });
    if (result.status == ImapStatus::Failed) return Head::Lost;
    if (!result.ok()) {
      Log("-- No head of message " + n + " (" + result.line + "), skipped");
      session_.NoteShortfall("message " + n, result.line);
      return Head::Refused;
    }
    if (head == Head::Gone) {
      Log("-- Message " + n + " is no longer in the folder");
      session_.NoteShortfall("message " + n, result.line);
    }
    if (head == Head::TooLong) {
      Log("-- Head of message " + n + " longer than " + std::to_string(kMaxHeaderLines) +
          " lines, skipped");
      session_.NoteShortfall(net::Shortfall{"message " + n, {}, net::Permanence::Permanent});
    }
    return head;
  }

  // The items of the FETCH response a line begins or continues; false when
  // it is none.
  static bool Follow(const ImapLine& line, FetchItems& items) {
    if (!line.continued) {
      std::optional<FetchItems> parsed = ParseFetch(line.text);
      items = parsed.value_or(FetchItems{});
      return parsed.has_value();
    }
    if (items.sequence == 0) return false;
    ParseFetchRest(line.text, items);
    return true;
  }

  // The lines up to the blank line, each as a reply line is kept; false
  // when there are more than the filters look at.
  bool TakeHeadLines(std::string_view text) {
    std::size_t count = 0;
    while (!text.empty()) {
      const std::size_t lf = text.find('\n');
      std::string_view line = text.substr(0, lf);
      text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.empty()) break;
      if (++count > kMaxHeaderLines) return false;
      header_.Add(line.substr(0, net::kMaxReplyLine));
    }
    return true;
  }

  // BODY.PEEK[]: the message's literal through the intake. Nothing when no
  // data of this message came; `result` tells how the response ended. Data
  // that names no UID before its literal is read, and taken only when the
  // UID after it is the one asked.
  std::optional<MessageOutcome> FetchBody(const Listed& message, DecodeMode mode,
                                          ImapResult& result) {
    const std::string n = std::to_string(message.uid);
    std::optional<MessageOutcome> outcome;
    std::optional<MessageOutcome> read;  // of a response whose UID may yet follow
    bool used = false;                   // the saved text took data
    FetchItems items;
    const std::string tag = channel_.Send("UID FETCH " + n + " BODY.PEEK[]");
    result = channel_.Finish(
        tag, CarryingBounds(message_bounds_), Echo::Logged, [&](const ImapLine& line) {
          if (!Follow(line, items) || outcome) return;
          if (line.literal && items.literal_item == "BODY[]" && items.MayBeAbout(message.uid) &&
              !used) {
            if (*line.literal > message_bounds_.max_bytes) {
              Log("-- Message " + n + " of " + std::to_string(*line.literal) +
                  " bytes is far larger than the server announced (" +
                  std::to_string(message.size) + "), aborting");
              session_.Abort();
              return;
            }
            if (!channel_.HandOver(*line.literal)) return;
            channel_.LiteralTaken();
            used = mode == DecodeMode::Save;
            read = intake_.ReceiveData(n, mode, message_bounds_, *line.literal);
            // Data of this message that broke off is told as such.
            if (session_.IsAborted() && items.About(message.uid)) outcome = std::move(read);
          }
          if (line.literal || !read) return;  // the response goes on
          if (items.About(message.uid)) {
            outcome = std::move(read);
          } else {
            Log("-- Data without the UID of message " + n + " ignored");
          }
          read.reset();
        });
    return outcome;
  }

  // A message the journal may know, fetched once without writing anything:
  // the fingerprint of its content, when it came whole.
  std::optional<std::string> Fingerprint(const Listed& message) {
    ImapResult result;
    const std::optional<MessageOutcome> outcome =
        FetchBody(message, DecodeMode::VerifyOnly, result);
    if (!result.ok() || !outcome || !outcome->whole || outcome->content_digest.empty()) {
      return std::nullopt;
    }
    return outcome->content_digest;
  }

  // Saves the message: its saved text, its files, then its removal. False
  // when the walk must end without an abort.
  bool Take(const Listed& message) {
    const std::string n = std::to_string(message.uid);
    if (!intake_.CreateSavedText()) return true;
    Log("-- Message " + n + " matched filter");
    ImapResult result;
    const std::optional<MessageOutcome> outcome = FetchBody(message, DecodeMode::Save, result);
    if (!outcome) {
      // No data came: the message stays, and so does its number.
      intake_.Discard();
      if (session_.IsAborted()) return true;
      Log("-- Message " + n + " could not be fetched (" + result.line + "), left on the server");
      session_.NoteShortfall("message " + n, result.line);
      return true;
    }
    return RemoveOrKeep(message, *outcome, result.ok());
  }

  // A message that came whole leaves the folder once it is on the disk; any
  // other stays. False when the walk must end without an abort.
  bool RemoveOrKeep(const Listed& message, const MessageOutcome& outcome, bool fetched) {
    const std::string n = std::to_string(message.uid);
    if (!session_.IsAborted() && fetched && outcome.whole) {
      // A batch of one: the removal's commands would outweigh what batching saves.
      intake_.Hold(n, UniqueId(message), header_.message_id(), outcome);
      if (!intake_.Flush()) return false;
      Remove(message);
      intake_.Taken();
      return true;
    }
    // Fetched again on a later run, it must not leave a second saved text.
    intake_.Discard();
    const std::string& id = header_.message_id();
    std::string line =
        "-- Message " + n + " left on the server" + (id.empty() ? std::string() : " (" + id + ")");
    if (session_.IsAborted()) line += ": its data broke off";
    Log(line);
    session_.NoteShortfall("message " + n);
    // A message of its own kind is skipped; a disk that failed would fail
    // every later message as well.
    return session_.IsAborted() || !outcome.every_message;
  }

  // One command about one message; false (with its line) when refused.
  bool Command(const std::string& command, const std::string& failure) {
    const std::string tag = channel_.Send(command);
    const ImapResult result = channel_.Finish(tag, kImapReplyBounds, Echo::Logged);
    if (result.ok() || session_.IsAborted()) return result.ok();
    Log(failure + " (" + result.line + ")");
    session_.NoteShortfall(command, result.line);
    return false;
  }

  // A taken message leaves the folder: moved to IMAPDONEFOLDER, or marked
  // and expunged by its UID alone, so that what another client marked
  // deleted stays.
  void Remove(const Listed& message) {
    const std::string n = std::to_string(message.uid);
    const std::string& done = configuration_.IMAPDONEFOLDER;
    if (!done.empty()) {
      const std::optional<std::string> target = Quoted(done);
      const std::string failure = "-- Message " + n + " could not be moved to " + done;
      if (!target) {
        Log(failure + " (a name the server cannot be sent)");
        session_.NoteShortfall(net::Shortfall{"message " + n, {}, net::Permanence::Permanent});
        return;
      }
      if (capabilities_.Has("MOVE")) {
        (void)Command("UID MOVE " + n + " " + *target, failure);
        return;
      }
      if (!Command("UID COPY " + n + " " + *target, failure)) return;
    }
    const std::string failure = "-- Message " + n + " could not be deleted on the server";
    if (!Command("UID STORE " + n + " +FLAGS.SILENT (\\Deleted)", failure)) return;
    if (!capabilities_.Has("UIDPLUS")) {
      // A plain EXPUNGE would also remove what other clients marked.
      Log("-- The server offers no UIDPLUS: message " + n + " is marked deleted, not expunged");
      return;
    }
    (void)Command("UID EXPUNGE " + n, failure);
  }

  net::NetSession& session_;
  const config::Configuration& configuration_;
  core::FrontEnd& front_end_;
  const std::string folder_;
  ImapChannel channel_;
  MessageIntake intake_;
  ImapCapabilities capabilities_;
  std::string validity_;
  std::vector<Listed> listed_;
  HeaderLines header_;
  net::ReadBounds message_bounds_;  // of the message being read
  std::chrono::steady_clock::time_point walk_started_;
};

}  // namespace

net::Endpoint ImapEndpoint(const config::Configuration& configuration) {
  const bool implicit = configuration.IMAPTLS == config::TlsMode::Implicit;
  return {configuration.IMAPSERVER, configuration.IMAPPORT, implicit ? "imaps" : "imap",
          implicit ? kDefaultImapsPort : kDefaultImapPort, configuration.NETTIMEOUT};
}

void RunImapDialogue(net::NetSession& session, const config::Configuration& configuration) {
  ImapWaiting once;
  RunImapDialogue(session, configuration, once);
}

void RunImapDialogue(net::NetSession& session, const config::Configuration& configuration,
                     ImapWaiting& waiting, const SentMessages* sent) {
  ImapWalk(session, configuration, sent).Run(waiting);
}

}  // namespace kestrel::receive
