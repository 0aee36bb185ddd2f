// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/imap/imap_mailbox.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "mime/ascii_text.h"
#include "receive/imap/imap_fetch.h"
#include "receive/imap/imap_folders.h"
#include "receive/intake/taken_batch.h"

namespace kestrel::receive {
namespace {

using core::Field;
using net::Echo;
using Listed = ImapListed;
using Window = ImapWindow;

// A line of the folder's listing ("* 12 FETCH (UID 34 RFC822.SIZE 5678 FLAGS
// (\Seen))") is far shorter; and new messages may be announced meanwhile.
constexpr std::uint64_t kMaxListingLineBytes = 256;
constexpr std::size_t kListingSlackLines = 1000;
// A head kept in memory for the filters: a thousand lines of a kilobyte.
constexpr std::uint64_t kMaxHeadBytes = kMaxHeaderLines * 1024;
// Heads asked in one FETCH: a round trip for fifty small messages, and at
// most this many head bytes in memory at once.
constexpr std::size_t kMaxWindowMessages = 50;
constexpr std::uint64_t kMaxHeadWindowBytes = 4 * 1024 * 1024;
// Lines a message's FETCH response may take besides the reply's own.
constexpr std::size_t kLinesPerResponse = 8;

// A response that carries `data` bytes of literals besides its lines.
ImapBounds CarryingBounds(const net::ReadBounds& data) {
  const net::ReadBounds transfer =
      net::TransferBounds(data.max_bytes + net::kReplyBounds.max_bytes);
  return {{transfer.max_bytes, data.max_seconds + net::kReplyBounds.max_seconds},
          net::kMaxReplyLines};
}

// What a message's head may be in memory: no more than the message.
std::uint64_t HeadBound(const Listed& message) {
  return std::min(kMaxHeadBytes, WithSlack(message.size));
}

// The UIDs as one set ("3:7,9"), in the window's order.
std::string UidSet(const Window& window) {
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
std::string Naming(const Window& window) {
  return (window.size() == 1 ? "Message " : "Messages ") + UidSet(window);
}

// One response's bounds for the window: each message's, added up.
ImapBounds WindowBounds(const Window& window, std::uint64_t (*bytes_of)(const Listed& message)) {
  ImapBounds bounds{{0, 0}, net::kMaxReplyLines};
  for (const Listed* message : window) {
    const ImapBounds one = CarryingBounds(net::TransferBounds(bytes_of(*message)));
    bounds.read.max_bytes += one.read.max_bytes;
    bounds.read.max_seconds += one.read.max_seconds;
    bounds.max_lines += kLinesPerResponse;
  }
  return bounds;
}

std::uint64_t DataBound(const Listed& message) {
  return WithSlack(message.size);
}

// The message of the window a FETCH response's literal is about: the
// UID said before it, or the window's only message when none was said
// (its UID may follow the literal). Nothing for any other, for one
// answered already, and for a UID-less literal in a window of several
// (`unnamed` is set then).
const Listed* AnsweredFor(const FetchItems& items, const Window& window,
                          const std::unordered_set<std::uint32_t>& answered, bool& unnamed) {
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

// The items of the FETCH response a line begins or continues; false when
// it is none.
bool Follow(const ImapLine& line, FetchItems& items) {
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
bool TakeHeadLines(std::string_view text, HeaderLines& head) {
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

}  // namespace

ImapMailbox::ImapMailbox(net::NetSession& session, const config::Configuration& configuration,
                         std::string folder, ImapChannel& channel, MessageIntake& intake,
                         const ImapCapabilities& capabilities, std::string validity)
    : session_(session),
      configuration_(configuration),
      front_end_(session.logger().front_end()),
      folder_(std::move(folder)),
      channel_(channel),
      intake_(intake),
      capabilities_(capabilities),
      validity_(std::move(validity)) {}

void ImapMailbox::Log(std::string_view text) {
  net::LogLine(session_, text);
}

bool ImapMailbox::List() {
  listed_.clear();
  next_ = 0;
  if (!ListMessages()) return false;
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
  return true;
}

// UID FETCH 1:*: the messages with their UIDs, sizes and flags.
bool ImapMailbox::ListMessages() {
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

// The listed messages from the first not looked at: those marked deleted
// dealt with as they come, the others in windows of heads.
Heads ImapMailbox::NextHeads(MailboxReader& reader) {
  Window window;
  std::uint64_t head_bytes = 0;
  for (; next_ < listed_.size(); ++next_) {
    const Listed& message = listed_[next_];
    if (session_.IsAborted() || Stopped()) return Heads::Ended;
    if (message.deleted) {
      ShowProgress(message);
      ExpungeOwnMark(message);
      continue;
    }
    const std::uint64_t head = HeadBound(message);
    if (!window.empty() &&
        (window.size() == kMaxWindowMessages || head_bytes + head > kMaxHeadWindowBytes)) {
      break;
    }
    window.push_back(&message);
    head_bytes += head;
  }
  if (window.empty()) return Heads::Done;
  return OfferHeads(window, reader);
}

// The heads of a window, each offered in the order listed; one the walk
// takes is settled before the next is offered.
Heads ImapMailbox::OfferHeads(const Window& window, MailboxReader& reader) {
  std::map<std::uint32_t, HeaderLines> heads;
  ReadHeads(window, heads);
  if (session_.IsAborted()) return Heads::Ended;
  for (const Listed* message : window) {
    const auto head = heads.find(message->uid);
    if (head == heads.end()) continue;
    const auto index = static_cast<std::size_t>(message - listed_.data());
    if (reader.Offer({message->uid, index, UniqueId(*message), {}, message->size}, head->second) &&
        !reader.Settle().on()) {
      return Heads::Ended;
    }
  }
  return Heads::Window;
}

// A Stop between commands ends the walk; LOGOUT follows.
bool ImapMailbox::Stopped() {
  if (!session_.StopRequested()) return false;
  session_.NoteShortfall("the rest of " + folder_);
  return true;
}

// A message marked deleted is ours to expunge only when it is one taken
// before whose expunge was lost with the connection: the journal knows its
// UID and its content is the same. Any other mark is another client's.
void ImapMailbox::ExpungeOwnMark(const Listed& message) {
  const std::string n = std::to_string(message.uid);
  const std::string uid = UniqueId(message);
  if (capabilities_.Has("UIDPLUS") && intake_.IsSuspect(uid, "")) {
    Log("-- Message " + n + " is marked deleted and may have been received before, comparing");
    const std::optional<std::string> digest = DigestOf(message);
    if (session_.IsAborted()) return;
    if (digest && intake_.IsCopy(uid, "", *digest)) {
      Log("-- Message " + n + " was taken before, expunging");
      (void)Command("UID EXPUNGE " + n, "-- Message " + n + " could not be deleted on the server");
      return;
    }
  }
  Log("-- Message " + n + " is marked deleted, skipped");
}

void ImapMailbox::ShowProgress(const Listed& message) {
  front_end_.SetField(Field::GetCurrentMsg, std::to_string(&message - listed_.data() + 1));
  front_end_.SetField(Field::GetFilename, "");
  front_end_.SetField(Field::GetByteProgress, "");
}

std::string ImapMailbox::UniqueId(const Listed& message) const {
  return validity_ + "/" + std::to_string(message.uid);
}

// BODY.PEEK[HEADER] of the window: the head lines of each message that
// answered under its UID, as TOP gives them to the POP3 walk.
void ImapMailbox::ReadHeads(const Window& window, std::map<std::uint32_t, HeaderLines>& heads) {
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
            Log("-- Head of message " + std::to_string(reading->uid) + " " + refused + ", skipped");
            session_.NoteShortfall(
                net::Shortfall{"message " + std::to_string(reading->uid),
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

// BODY.PEEK[] of the window: each message's literal through the intake as
// it comes, matched to its UID; `on_data` gets the data confirmed by the
// UID (or cut off by an abort). Data that names no UID before its literal
// is taken only when the UID after it is the one read for. Returns the
// messages that got no data.
Window ImapMailbox::FetchBodies(const Window& window, DecodeMode mode, const OnData& on_data,
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
            net::LogAndAbort(session_, "-- Message " + n + " of " + std::to_string(*line.literal) +
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

// BODY.PEEK[] once, its data through the scanner only: the fingerprint of
// its content, when it came whole.
std::optional<std::string> ImapMailbox::DigestOf(const Listed& message) {
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

std::optional<std::string> ImapMailbox::Fingerprint(const MailboxMessage& message, WalkStep& step) {
  std::optional<std::string> digest = DigestOf(listed_[message.index]);
  step = WalkStep::Of(session_);
  return digest;
}

// As many together as the batch has room for, by count and by their
// announced sizes (the first whatever its size).
std::size_t ImapMailbox::TakeCount(std::span<const MailboxMessage> run, bool,
                                   const BatchLoad& load) const {
  std::uint64_t bytes = load.bytes;
  std::size_t count = 0;
  while (count < run.size() && (count == 0 || (load.messages + count < kMaxBatchMessages &&
                                               bytes + run[count].size <= kMaxBatchBytes))) {
    bytes += run[count].size;
    ++count;
  }
  return count;
}

bool ImapMailbox::BatchDue(const BatchLoad& load) const {
  return intake_.BatchFull() || load.messages >= kMaxBatchMessages || load.bytes >= kMaxBatchBytes;
}

ImapMailbox::Window ImapMailbox::WindowOf(std::span<const MailboxMessage> messages) const {
  Window window;
  for (const MailboxMessage& message : messages) window.push_back(&listed_[message.index]);
  return window;
}

// One window's data in one FETCH: each message that came whole is held;
// when the response failed, those held stay on the server.
Taking ImapMailbox::Take(std::span<const MailboxMessage> messages, MailboxReader& reader) {
  const Window window = WindowOf(messages);
  for (const Listed* message : window) {
    Log("-- Message " + std::to_string(message->uid) + " matched filter");
  }
  Window whole;
  ImapResult result;
  const Window missing = FetchBodies(
      window, DecodeMode::Save,
      [&](const Listed& message, const MessageOutcome& outcome) {
        const auto at = std::find(window.begin(), window.end(), &message) - window.begin();
        switch (reader.Received(messages[static_cast<std::size_t>(at)], outcome)) {
          case DataFate::Held:
            whole.push_back(&message);
            break;
          case DataFate::Refused:
            refuse_data_ = true;
            break;
          case DataFate::Left:
            break;
        }
      },
      result);
  if (session_.IsAborted()) return {WalkStep::Of(session_)};
  for (const Listed* message : missing) {
    const std::string n = std::to_string(message->uid);
    Log("-- Message " + n + " could not be fetched (" + result.line + "), left on the server");
    session_.NoteShortfall("message " + n, result.line);
  }
  const bool removable = result.ok();
  if (!removable && !whole.empty()) {
    // On the disk with the batch; the next walk compares and removes them.
    Log("-- " + Naming(whole) + " kept on the server (" + result.line + ")");
    session_.NoteShortfall(Naming(whole), result.line);
  }
  return {std::exchange(refuse_data_, false) ? WalkStep::Ends() : WalkStep::On(), removable};
}

// A command about the messages; its result, with the failure's line
// logged when refused and `quiet_code` is not in it.
ImapResult ImapMailbox::Command(const std::string& command, const std::string& failure,
                                std::string_view quiet_code) {
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
const std::string& ImapMailbox::DoneFolder() {
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
bool ImapMailbox::MoveOrCopy(const std::string& verb, const Window& messages,
                             const std::string& target, const std::string& failure) {
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
void ImapMailbox::RemoveUids(const Window& messages) {
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
      if (MoveOrCopy("MOVE", messages, *target, failure)) Log("-- " + naming + " moved to " + done);
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

std::string ImapMailbox::Removing() {
  return configuration_.IMAPDONEFOLDER.empty() ? std::string("deleting")
                                               : "moving it to " + DoneFolder();
}

WalkStep ImapMailbox::Remove(std::span<const MailboxMessage> messages) {
  if (session_.IsAborted()) return WalkStep::Of(session_);
  RemoveUids(WindowOf(messages));
  return WalkStep::Of(session_);
}

}  // namespace kestrel::receive
