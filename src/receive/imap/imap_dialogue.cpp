// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/imap/imap_dialogue.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "mime/ascii_text.h"
#include "receive/imap/imap_channel.h"
#include "receive/imap/imap_fetch.h"
#include "receive/imap/imap_folders.h"
#include "receive/imap/imap_idle.h"
#include "receive/imap/imap_login.h"
#include "receive/intake/header_filter.h"
#include "receive/walk/message_intake.h"

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
// Heads asked in one FETCH: a round trip for fifty small messages, and at
// most this many head bytes in memory at once.
constexpr std::size_t kMaxWindowMessages = 50;
constexpr std::uint64_t kMaxHeadWindowBytes = 4 * 1024 * 1024;
// Lines a message's FETCH response may take besides the reply's own.
constexpr std::size_t kLinesPerResponse = 8;
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

// Messages asked in one FETCH, in the order listed.
using Window = std::vector<const Listed*>;

class ImapWalk {
 public:
  ImapWalk(net::NetSession& session, const config::Configuration& configuration,
           const SentMessages* sent)
      : session_(session),
        configuration_(configuration),
        front_end_(session.logger().front_end()),
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
          const std::string upper = mime::UpperCase(line.text);
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
    message_ids_.clear();
    skipped_ = 0;
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
    Window window;
    std::uint64_t head_bytes = 0;
    bool going = true;
    for (const Listed& message : listed_) {
      if (session_.IsAborted() || Stopped()) {
        going = false;
        break;
      }
      if (message.deleted) {
        ShowProgress(message);
        ExpungeOwnMark(message);
        continue;
      }
      const std::uint64_t head = HeadBound(message);
      if (!window.empty() &&
          (window.size() == kMaxWindowMessages || head_bytes + head > kMaxHeadWindowBytes)) {
        going = TakeWindow(window);
        window.clear();
        head_bytes = 0;
        if (!going || session_.IsAborted() || Stopped()) {
          going = false;
          break;
        }
      }
      window.push_back(&message);
      head_bytes += head;
    }
    if (going && !window.empty()) (void)TakeWindow(window);
    if (going && !session_.IsAborted()) session_.NoteLeftByFilters(skipped_);
    (void)RemoveHeld();
  }

  // A message marked deleted is ours to expunge only when it is one taken
  // before whose expunge was lost with the connection: the journal knows its
  // UID and its content is the same. Any other mark is another client's.
  void ExpungeOwnMark(const Listed& message) {
    const std::string n = std::to_string(message.uid);
    const std::string uid = UniqueId(message);
    if (capabilities_.Has("UIDPLUS") && intake_.IsSuspect(uid, "")) {
      Log("-- Message " + n + " is marked deleted and may have been received before, comparing");
      const std::optional<std::string> digest = Fingerprint(message);
      if (session_.IsAborted()) return;
      if (digest && intake_.IsCopy(uid, "", *digest)) {
        Log("-- Message " + n + " was taken before, expunging");
        (void)Command("UID EXPUNGE " + n,
                      "-- Message " + n + " could not be deleted on the server");
        return;
      }
    }
    Log("-- Message " + n + " is marked deleted, skipped");
  }

  void ShowProgress(const Listed& message) {
    front_end_.SetField(Field::GetCurrentMsg, std::to_string(&message - listed_.data() + 1));
    front_end_.SetField(Field::GetFilename, "");
    front_end_.SetField(Field::GetByteProgress, "");
  }

  [[nodiscard]] std::string UniqueId(const Listed& message) const {
    return validity_ + "/" + std::to_string(message.uid);
  }

  // What a message's head may be in memory: no more than the message.
  static std::uint64_t HeadBound(const Listed& message) {
    return std::min(kMaxHeadBytes, WithSlack(message.size));
  }

  // The UIDs as one set ("3:7,9"), in the window's order.
  static std::string UidSet(const Window& window) {
    std::string set;
    for (std::size_t at = 0; at < window.size();) {
      std::size_t last = at;
      while (last + 1 < window.size() && window[last + 1]->uid == window[last]->uid + 1) ++last;
      if (!set.empty()) set += ',';
      set += std::to_string(window[at]->uid);
      if (last > at) set += ':' + std::to_string(window[last]->uid);
      at = last + 1;
    }
    return set;
  }

  // "Message 9" or "Messages 3:7,9".
  static std::string Naming(const Window& window) {
    return (window.size() == 1 ? "Message " : "Messages ") + UidSet(window);
  }

  // One response's bounds for the window: each message's, added up.
  static ImapBounds WindowBounds(const Window& window,
                                 std::uint64_t (*bytes_of)(const Listed& message)) {
    ImapBounds bounds{{0, 0}, net::kMaxReplyLines};
    for (const Listed* message : window) {
      const ImapBounds one = CarryingBounds(net::TransferBounds(bytes_of(*message)));
      bounds.read.max_bytes += one.read.max_bytes;
      bounds.read.max_seconds += one.read.max_seconds;
      bounds.max_lines += kLinesPerResponse;
    }
    return bounds;
  }

  static std::uint64_t DataBound(const Listed& message) { return WithSlack(message.size); }

  // The message of the window a FETCH response's literal is about: the
  // UID said before it, or the window's only message when none was said
  // (its UID may follow the literal). Nothing for any other, for one
  // answered already, and for a UID-less literal in a window of several
  // (`unnamed` is set then).
  static const Listed* AnsweredFor(const FetchItems& items, const Window& window,
                                   const std::unordered_set<std::uint32_t>& answered,
                                   bool& unnamed) {
    if (items.uid_conflict) return nullptr;
    if (!items.said_uid) {
      if (window.size() != 1) {
        unnamed = true;
        return nullptr;
      }
      return answered.count(window.front()->uid) ? nullptr : window.front();
    }
    for (const Listed* message : window) {
      if (message->uid == *items.said_uid) {
        return answered.count(message->uid) ? nullptr : message;
      }
    }
    return nullptr;
  }

  // The heads of a window, the new messages the filters take, their data.
  // False when the walk must end without an abort.
  bool TakeWindow(const Window& window) {
    std::map<std::uint32_t, HeaderLines> heads;
    ReadHeads(window, heads);
    if (session_.IsAborted()) return true;
    Window accepted;
    for (const Listed* message : window) {
      const auto head = heads.find(message->uid);
      if (head == heads.end()) continue;
      const std::string n = std::to_string(message->uid);
      if (!AcceptMessage(configuration_.Filters, head->second.lines())) {
        // One per foreign message: the log keeps it, the console does not.
        net::LogLine(session_, "-- Skipping message " + n, core::LineKind::Detail);
        ++skipped_;
        continue;
      }
      message_ids_[message->uid] = head->second.message_id();
      const std::string uid = UniqueId(*message);
      if (intake_.IsSuspect(uid, head->second.message_id())) {
        // The comparison needs what was taken before on the disk.
        if (!TakeBodies(std::exchange(accepted, {})) || !RemoveHeld()) return false;
        if (session_.IsAborted() || Stopped()) return true;
        Log("-- Message " + n + " may have been received before, comparing");
        const std::optional<std::string> digest = Fingerprint(*message);
        if (session_.IsAborted()) return true;
        if (digest && intake_.IsCopy(uid, head->second.message_id(), *digest)) {
          Log("-- Message " + n + " already received, " +
              (configuration_.IMAPDONEFOLDER.empty() ? std::string("deleting")
                                                     : "moving it to " + DoneFolder()));
          Remove({message});
          continue;
        }
        Log("-- Message " + n + " is not the one received before, taking it");
      }
      accepted.push_back(message);
    }
    return TakeBodies(accepted);
  }

  // BODY.PEEK[HEADER] of the window: the head lines of each message that
  // answered under its UID, as TOP gives them to the POP3 walk.
  void ReadHeads(const Window& window, std::map<std::uint32_t, HeaderLines>& heads) {
    std::unordered_set<std::uint32_t> answered;
    const Listed* reading = nullptr;  // the message whose head is being read
    std::optional<std::string> text;  // its head, while its UID may yet follow
    std::string refused;              // why it was not read, when not
    bool for_good = false;            // a refusal that the next walk would repeat
    bool unnamed = false;
    FetchItems items;
    const std::string tag = channel_.Send("UID FETCH " + UidSet(window) + " BODY.PEEK[HEADER]");
    const ImapResult result = channel_.Finish(
        tag, WindowBounds(window, &HeadBound), Echo::Quiet, [&](const ImapLine& line) {
          if (!Follow(line, items)) return;
          if (line.literal && items.literal_item == "BODY[HEADER]" && !reading) {
            reading = AnsweredFor(items, window, answered, unnamed);
            if (!reading) return;
            // One refused is read past by the channel.
            if (*line.literal > kMaxHeadBytes) {
              refused = "longer than " + std::to_string(kMaxHeaderLines) + " lines";
              for_good = true;
            } else if (*line.literal > HeadBound(*reading)) {
              refused = "larger than the server announced";
            } else {
              text = channel_.ReadLiteral(*line.literal);
              channel_.LiteralTaken();
            }
          }
          if (line.literal || !reading) return;  // the response goes on
          if (items.About(reading->uid)) {
            answered.insert(reading->uid);
            HeaderLines& head = heads[reading->uid];
            if (refused.empty() && !(text && TakeHeadLines(*text, head))) {
              refused = "longer than " + std::to_string(kMaxHeaderLines) + " lines";
              for_good = true;
            }
            if (!refused.empty()) {
              heads.erase(reading->uid);
              Log("-- Head of message " + std::to_string(reading->uid) + " " + refused +
                  ", skipped");
              session_.NoteShortfall(net::Shortfall{
                  "message " + std::to_string(reading->uid),
                  {},
                  for_good ? net::Permanence::Permanent : net::Permanence::Transient});
            }
          }
          reading = nullptr;
          text.reset();
          refused.clear();
          for_good = false;
        });
    if (result.status == ImapStatus::Failed) return;
    if (!result.ok()) {
      heads.clear();
      Log("-- No head" + std::string(window.size() == 1 ? " of message " : "s of messages ") +
          UidSet(window) + " (" + result.line + "), skipped");
      session_.NoteShortfall(Naming(window), result.line);
      return;
    }
    Window unanswered;
    for (const Listed* message : window) {
      if (!answered.count(message->uid)) unanswered.push_back(message);
    }
    if (unnamed && window.size() > 1) {
      // A server that names the UID only after the literal is asked one by one.
      for (const Listed* message : unanswered) {
        if (session_.IsAborted()) return;
        ReadHeads({message}, heads);
      }
      return;
    }
    for (const Listed* message : unanswered) {
      Log("-- Message " + std::to_string(message->uid) + " is no longer in the folder");
      session_.NoteShortfall("message " + std::to_string(message->uid), result.line);
    }
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
  static bool TakeHeadLines(std::string_view text, HeaderLines& head) {
    std::size_t count = 0;
    while (!text.empty()) {
      const std::size_t lf = text.find('\n');
      std::string_view line = text.substr(0, lf);
      text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.empty()) break;
      if (++count > kMaxHeaderLines) return false;
      head.Add(line.substr(0, net::kMaxReplyLine));
    }
    return true;
  }

  // What became of a message's data in a window's response.
  using OnData = std::function<void(const Listed& message, const MessageOutcome& outcome)>;

  // BODY.PEEK[] of the window: each message's literal through the intake as
  // it comes, matched to its UID; `on_data` gets the data confirmed by the
  // UID (or cut off by an abort). Data that names no UID before its literal
  // is taken only when the UID after it is the one read for. Returns the
  // messages that got no data.
  Window FetchBodies(const Window& window, DecodeMode mode, const OnData& on_data,
                     ImapResult& result) {
    std::unordered_set<std::uint32_t> answered;
    const Listed* reading = nullptr;
    std::optional<MessageOutcome> read;
    bool unnamed = false;
    FetchItems items;
    const std::string tag = channel_.Send("UID FETCH " + UidSet(window) + " BODY.PEEK[]");
    result = channel_.Finish(
        tag, WindowBounds(window, &DataBound), Echo::Logged, [&](const ImapLine& line) {
          if (!Follow(line, items)) return;
          if (line.literal && items.literal_item == "BODY[]" && !reading && !refuse_data_) {
            const Listed* message = AnsweredFor(items, window, answered, unnamed);
            if (!message) return;
            const std::string n = std::to_string(message->uid);
            const net::ReadBounds bounds = net::TransferBounds(DataBound(*message));
            if (*line.literal > bounds.max_bytes) {
              net::LogAndAbort(session_, "-- Message " + n + " of " +
                                             std::to_string(*line.literal) +
                                             " bytes is far larger than the server announced (" +
                                             std::to_string(message->size) + "), aborting");
              return;
            }
            if (mode == DecodeMode::Save && !intake_.CreateSavedText()) return;
            if (!channel_.HandOver(*line.literal)) {
              if (mode == DecodeMode::Save) intake_.Discard();
              return;
            }
            channel_.LiteralTaken();
            ShowProgress(*message);
            reading = message;
            read = intake_.ReceiveData(n, mode, bounds, *line.literal);
            if (session_.IsAborted()) {
              // Data of this message that broke off is told as such.
              if (items.About(message->uid)) {
                on_data(*message, *read);
              } else if (mode == DecodeMode::Save) {
                intake_.Discard();
              }
              reading = nullptr;
              return;
            }
          }
          if (line.literal || !reading) return;  // the response goes on
          if (items.About(reading->uid)) {
            answered.insert(reading->uid);
            on_data(*reading, *read);
          } else {
            if (mode == DecodeMode::Save) intake_.Discard();
            Log("-- Data without the UID of message " + std::to_string(reading->uid) + " ignored");
          }
          reading = nullptr;
          read.reset();
        });
    // Data whose response broke off before its UID was confirmed stays.
    if (reading && mode == DecodeMode::Save) intake_.Discard();
    Window unanswered;
    for (const Listed* message : window) {
      if (!answered.count(message->uid)) unanswered.push_back(message);
    }
    if (unnamed && window.size() > 1 && result.ok()) {
      // A server that names the UID only after the literal is asked one by one.
      Window left;
      for (const Listed* message : unanswered) {
        if (session_.IsAborted()) return left;
        ImapResult alone;
        if (!FetchBodies({message}, mode, on_data, alone).empty()) left.push_back(message);
        if (!alone.ok()) result = alone;
      }
      return left;
    }
    return unanswered;
  }

  // A message the journal may know, fetched once without writing anything:
  // the fingerprint of its content, when it came whole.
  std::optional<std::string> Fingerprint(const Listed& message) {
    std::optional<std::string> digest;
    ImapResult result;
    (void)FetchBodies(
        {&message}, DecodeMode::VerifyOnly,
        [&](const Listed&, const MessageOutcome& outcome) {
          if (outcome.whole && !outcome.content_digest.empty()) digest = outcome.content_digest;
        },
        result);
    if (!result.ok()) return std::nullopt;
    return digest;
  }

  // The accepted messages' data, in windows that each fit a batch. False
  // when the walk must end without an abort.
  bool TakeBodies(const Window& accepted) {
    for (std::size_t at = 0; at < accepted.size();) {
      if (session_.IsAborted() || Stopped()) return true;
      Window window;
      std::uint64_t bytes = batch_bytes_;
      while (at < accepted.size() &&
             (window.empty() || (batch_count_ + window.size() < kMaxBatchMessages &&
                                 bytes + accepted[at]->size <= kMaxBatchBytes))) {
        bytes += accepted[at]->size;
        window.push_back(accepted[at++]);
      }
      if (!TakeData(window)) return false;
      if (intake_.BatchFull() || batch_count_ >= kMaxBatchMessages ||
          batch_bytes_ >= kMaxBatchBytes) {
        if (!RemoveHeld()) return false;
      }
    }
    return true;
  }

  // One window's data saved: each message that came whole joins the batch;
  // any other stays. False when the walk must end without an abort.
  bool TakeData(const Window& window) {
    for (const Listed* message : window) {
      Log("-- Message " + std::to_string(message->uid) + " matched filter");
    }
    Window whole;
    ImapResult result;
    const Window missing = FetchBodies(
        window, DecodeMode::Save,
        [&](const Listed& message, const MessageOutcome& outcome) {
          const std::string n = std::to_string(message.uid);
          const std::string& id = message_ids_[message.uid];
          if (!session_.IsAborted() && outcome.whole) {
            intake_.Hold(n, UniqueId(message), id, outcome);
            ++batch_count_;
            batch_bytes_ += message.size;
            whole.push_back(&message);
            return;
          }
          // Fetched again on a later run, it must not leave a second saved text.
          intake_.Discard();
          std::string line = "-- Message " + n + " left on the server" +
                             (id.empty() ? std::string() : " (" + id + ")");
          if (session_.IsAborted()) line += ": its data broke off";
          Log(line);
          session_.NoteShortfall("message " + n);
          // A disk that failed would fail every later message as well.
          if (!session_.IsAborted() && outcome.every_message) refuse_data_ = true;
        },
        result);
    if (session_.IsAborted()) return true;
    for (const Listed* message : missing) {
      const std::string n = std::to_string(message->uid);
      Log("-- Message " + n + " could not be fetched (" + result.line + "), left on the server");
      session_.NoteShortfall("message " + n, result.line);
    }
    if (result.ok()) {
      held_.insert(held_.end(), whole.begin(), whole.end());
    } else if (!whole.empty()) {
      // On the disk with the batch; the next walk compares and removes them.
      Log("-- " + Naming(whole) + " kept on the server (" + result.line + ")");
      session_.NoteShortfall(Naming(whole), result.line);
    }
    return !std::exchange(refuse_data_, false);
  }

  // The batch goes to the disk, then its messages leave the folder in one
  // command. False when it could not be written: they stay, and the walk
  // must end.
  bool RemoveHeld() {
    const Window held = std::exchange(held_, {});
    const bool flushing = std::exchange(batch_count_, 0) > 0;
    batch_bytes_ = 0;
    if (!intake_.Flush()) return false;
    if (flushing) intake_.Taken();  // their files are in the inbound
    if (held.empty() || session_.IsAborted()) return true;
    Remove(held);
    return true;
  }

  // A command about the messages; its result, with the failure's line
  // logged when refused and `quiet_code` is not in it.
  ImapResult Command(const std::string& command, const std::string& failure,
                     std::string_view quiet_code = {}) {
    const std::string tag = channel_.Send(command);
    const ImapResult result = channel_.Finish(tag, kImapReplyBounds, Echo::Logged);
    if (result.ok() || session_.IsAborted()) return result;
    if (!quiet_code.empty() && mime::UpperCase(result.line).find(quiet_code) != std::string::npos) {
      return result;
    }
    Log(failure + " (" + result.line + ")");
    session_.NoteShortfall(command, result.line);
    return result;
  }

  // IMAPDONEFOLDER as the server spells it: its levels joined by the
  // separator LIST "" "" names (asked once).
  const std::string& DoneFolder() {
    if (done_folder_) return *done_folder_;
    std::optional<char> separator;
    const std::string tag = channel_.Send("LIST \"\" \"\"");
    const ImapResult result =
        channel_.Finish(tag, kImapReplyBounds, Echo::Logged, [&](const ImapLine& line) {
          if (!line.continued && !separator) separator = ListedSeparator(line.text);
        });
    if (!result.ok()) separator.reset();
    done_folder_ = ServerFolderName(configuration_.IMAPDONEFOLDER, separator);
    return *done_folder_;
  }

  // MOVE (or COPY) to the done folder, which is created once when the
  // server answers [TRYCREATE].
  bool MoveOrCopy(const std::string& verb, const Window& messages, const std::string& target,
                  const std::string& failure) {
    const std::string command = "UID " + verb + " " + UidSet(messages) + " " + target;
    constexpr std::string_view kTryCreate = "[TRYCREATE]";
    ImapResult result = Command(command, failure, created_ ? std::string_view() : kTryCreate);
    if (result.ok() || session_.IsAborted() || created_) return result.ok();
    if (mime::UpperCase(result.line).find(kTryCreate) == std::string::npos) return false;
    created_ = true;
    Log("-- Creating folder " + DoneFolder());
    if (!Command("CREATE " + target, "-- Folder " + DoneFolder() + " could not be created").ok()) {
      if (!session_.IsAborted()) Log(failure + " (" + result.line + ")");
      return false;
    }
    return Command(command, failure).ok();
  }

  // Taken messages leave the folder in one command: moved to
  // IMAPDONEFOLDER, or marked and expunged by their UIDs alone, so that
  // what another client marked deleted stays.
  void Remove(const Window& messages) {
    const std::string naming = Naming(messages);
    const std::string set = UidSet(messages);
    const bool moving = !configuration_.IMAPDONEFOLDER.empty();
    if (moving) {
      const std::string& done = DoneFolder();
      const std::optional<std::string> target = Quoted(done);
      const std::string failure = "-- " + naming + " could not be moved to " + done;
      if (!target) {
        Log(failure + " (a name the server cannot be sent)");
        session_.NoteShortfall(net::Shortfall{naming, {}, net::Permanence::Permanent});
        return;
      }
      if (capabilities_.Has("MOVE")) {
        if (MoveOrCopy("MOVE", messages, *target, failure))
          Log("-- " + naming + " moved to " + done);
        return;
      }
      if (!MoveOrCopy("COPY", messages, *target, failure)) return;
    }
    const std::string failure = "-- " + naming + " could not be deleted on the server";
    if (!Command("UID STORE " + set + " +FLAGS.SILENT (\\Deleted)", failure).ok()) return;
    if (!capabilities_.Has("UIDPLUS")) {
      // A plain EXPUNGE would also remove what other clients marked.
      Log("-- The server offers no UIDPLUS: " +
          (messages.size() == 1 ? "message " + set + " is" : "messages " + set + " are") +
          " marked deleted, not expunged");
      return;
    }
    if (!Command("UID EXPUNGE " + set, failure).ok()) return;
    Log("-- " + naming + (moving ? " moved to " + DoneFolder() : std::string(" expunged")));
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
  std::unordered_map<std::uint32_t, std::string> message_ids_;  // of the accepted heads
  Window held_;                  // whole, in the batch, to leave the folder once it is flushed
  std::size_t batch_count_ = 0;  // messages in the batch, and their announced bytes
  std::uint64_t batch_bytes_ = 0;
  bool refuse_data_ = false;   // the disk failed: the rest of a response is read past
  std::uint64_t skipped_ = 0;  // messages of this walk the filters left in the folder
  std::optional<std::string> done_folder_;
  bool created_ = false;  // CREATE of the done folder was tried
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
