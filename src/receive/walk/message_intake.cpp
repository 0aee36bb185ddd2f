// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/walk/message_intake.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>

#include "core/link_events.h"
#include "core/text_utils.h"
#include "mime/ascii_text.h"
#include "mime/delivery_report.h"
#include "mime/mime_text.h"
#include "platform/directory_owner.h"
#include "platform/error_text.h"
#include "platform/file_names.h"
#include "platform/files.h"
#include "platform/program_home.h"
#include "receive/intake/attachment_names.h"
#include "receive/intake/sent_messages.h"
#include "receive/partial/partial_set_reader.h"

namespace kestrel::receive {
namespace {

// An mbox keeps this line before each message; it is no part of the message.
constexpr std::string_view kEnvelopePrefix = "From ";

constexpr std::time_t kSecondsADay = 24 * 60 * 60;

// "2024-05-01", local time.
std::string DateText(std::time_t time) {
  std::tm local{};
  char text[16] = "?";
  if (::localtime_r(&time, &local)) (void)std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

}  // namespace

namespace {

// The directory's name as it stands on the disk, found once: a name given in
// another letter case would otherwise be looked up level by level for every
// file made in it.
std::string RealDirectory(const std::string& directory) {
  std::string real = platform::ResolveName(directory);
  if (real.back() != '/') real += '/';
  return real;
}

}  // namespace

std::string SaveDirectory(const config::Configuration& configuration) {
  if (!configuration.SAVEEMAIL.empty()) return RealDirectory(configuration.SAVEEMAIL);
  return platform::ProgramHome() + "/";
}

std::string InboundDirectory(const config::Configuration& configuration) {
  if (!configuration.INBOUND.empty()) return RealDirectory(configuration.INBOUND);
  return platform::ProgramHome() + "/";
}

MessageIntake::MessageIntake(net::NetSession& session, const config::Configuration& configuration,
                             std::string mailbox, const SentMessages* sent)
    : session_(session),
      configuration_(configuration),
      inbound_(InboundDirectory(configuration)),
      mailbox_(std::move(mailbox)),
      sent_(sent),
      decoder_(
          session.logger().front_end(),
          [&session](std::string_view line) { net::LogLine(session, line); }, inbound_),
      spool_(SpoolLimitsOf(configuration)),
      catcher_(spool_, decoder_),
      reader_([this](char* buffer, std::size_t capacity) { return ReadData(buffer, capacity); }),
      saved_(SaveDirectory(configuration), [this](std::string_view line) { Log(line); }),
      batch_(saved_, journal_, inbound_, [this](std::string_view line) { Log(line); }) {
  decoder_.HoldNames(&held_files_);
  decoder_.UpperCaseNames(configuration.UPPERCASENAMES);
}

MessageIntake::~MessageIntake() = default;

void MessageIntake::Log(std::string_view text) {
  net::LogLine(session_, text);
}

bool MessageIntake::Open() {
  if (!InboundUsable() || !JournalUsable()) return false;
  if (!saved_.Writable()) {
    session_.NoteMisconfigured(saved_.directory());
    return false;
  }
  RemoveStalePartialFiles(inbound_);
  saved_.Prune({configuration_.SAVEDAYS, configuration_.SAVEMAX}, std::time(nullptr));
  inbound_view_.emplace(inbound_);
  save_view_.emplace(saved_.directory());
  saved_.Open();
  return true;
}

void MessageIntake::Close() {
  JoinPieces();
  if (!saved_.WriteHighest()) {
    const std::string path = saved_.directory() + std::string(kHighestFileName);
    Log("-- Could not write " + path);
    session_.NoteShortfall(path);
  }
  if (mail_received_ && !configuration_.EMAILARRIVED.empty()) {
    (void)platform::OpenFile(configuration_.EMAILARRIVED, "wb");
  }
}

// A configured inbound that is missing or read-only would turn every
// message away; nothing is taken then.
bool MessageIntake::InboundUsable() {
  if (configuration_.INBOUND.empty()) Log("-- No INBOUND set, files go to " + inbound_);
  const std::string path = platform::ResolveName(inbound_);
  if (::access(path.c_str(), W_OK | X_OK) == 0) return true;
  Log("-- Inbound " + path + " cannot be used (" + platform::ErrorText(errno) + "), nothing taken");
  session_.NoteShortfall(path);
  return false;
}

// A journal that cannot be read would let every message in again.
bool MessageIntake::JournalUsable() {
  std::string error;
  if (journal_.Load(std::time(nullptr), error)) return true;
  Log("-- Could not read " + journal_.path() + " (" + error + "), nothing taken");
  session_.NoteShortfall(journal_.path());
  return false;
}

bool MessageIntake::IsSuspect(std::string_view uid, std::string_view message_id) const {
  return journal_.IsSuspect(mailbox_, uid, message_id) || batch_.Knows(uid, message_id);
}

bool MessageIntake::IsCopy(std::string_view uid, std::string_view message_id,
                           std::string_view digest) const {
  return journal_.IsCopy(mailbox_, uid, message_id, digest);
}

bool MessageIntake::CreateSavedText() {
  if (saved_.Create()) return true;
  session_.NoteShortfall(saved_.directory());
  return false;
}

MessageOutcome MessageIntake::ReceiveData(std::string_view label, DecodeMode mode,
                                          const net::ReadBounds& bounds,
                                          std::optional<std::uint64_t> counted) {
  // The log file is suspended while data flows; what the scanner has to
  // report reaches it afterwards.
  std::optional<net::SuspendedLog> quiet(std::in_place, session_);
  std::optional<net::MessageDataScope> in_data(std::in_place, session_);
  const bool saving = mode == DecodeMode::Save;
  decoder_.StartMessage(saving ? saved_.file() : nullptr, saved_.Stem(),
                        saving ? saved_.Path(saved_.number()) : std::string(), mode);
  catcher_.StartMessage(label, mode);
  reader_.Reset(counted);
  bounds_ = bounds;
  data_left_ = bounds.max_bytes;
  data_clock_.Start();
  bool complete = false;
  bool first_piece = true;
  bool in_envelope = false;  // the pieces of a leading "From " line
  BodyPiece piece;
  while (!session_.IsAborted()) {
    // Inside the data a Stop can only cut the connection: the message stays.
    if (session_.StopRequested()) session_.Abort(net::kStoppedReason);
    const BodyStatus status = reader_.ReadBodyLine(piece);
    if (status == BodyStatus::EndOfData) {
      complete = true;
      break;
    }
    if (status == BodyStatus::NoData) break;
    if (first_piece) {
      first_piece = false;
      in_envelope = piece.text.starts_with(kEnvelopePrefix);
    }
    if (in_envelope) {
      decoder_.SaveTextLine(piece.text, piece.line_ends);
      in_envelope = !piece.line_ends;
      continue;
    }
    catcher_.Line(piece.text, piece.line_ends);
  }
  // Bytes beyond the "." line are the server's next words, not the message's.
  if (complete) {
    const std::string_view unread = reader_.Unread();
    data_left_ += unread.size();
    net::PutBack(session_, unread);
  }
  data_bytes_ = bounds.max_bytes - data_left_;
  in_data.reset();
  catcher_.EndOfData();
  MessageOutcome outcome = decoder_.EndOfMessage(complete);
  catcher_.Finish(complete, outcome);
  quiet.reset();
  for (const std::string& line : outcome.report) Log(line);
  if (catcher_.conflicted()) session_.NoteShortfall("message " + std::string(label));
  if (saving && !saved_.Close()) {
    outcome.whole = false;
    outcome.every_message = true;
  }
  if (outcome.whole && outcome.delivery_report) ReportBounce(label, *outcome.delivery_report);
  return outcome;
}

// A bounce is no file to toss, but news for the sysop: what it says, and
// when it returns a message this program sent, which file did not arrive
// where, in the sending side's log as well.
void MessageIntake::ReportBounce(std::string_view label, const mime::DeliveryReport& report) {
  for (const std::string& line : mime::DeliveryReportLines(report, label)) Log(line);
  session_.NoteShortfall("message " + std::string(label));
  const std::optional<std::string> id = WholeMessageId(report.original_message_id);
  const std::optional<SentMessage> sent = sent_ && id ? sent_->Find(*id) : std::nullopt;
  if (!sent) return;
  (void)core::RecordLinkEvent(core::LinkEventKind::Bounced, sent->node, sent->file);
  for (const std::string& line : FailedDeliveryLines(report, *sent)) {
    Log(line);
    session_.logger().LogLineKept(core::Side::Sending, line, false);
  }
}

// The reader's source: the connection, within the message's bounds.
std::size_t MessageIntake::ReadData(char* buffer, std::size_t capacity) {
  if (data_clock_.ElapsedSeconds() >= bounds_.max_seconds) {
    net::LogAndAbort(session_, "-- Message data not complete within " +
                                   std::to_string(bounds_.max_seconds) + " seconds, aborting");
    return 0;
  }
  // Never more than the bound: what follows may be the replies to the
  // commands sent after this one.
  if (data_left_ == 0) {
    net::LogAndAbort(session_, "-- Message data longer than " + std::to_string(bounds_.max_bytes) +
                                   " bytes, aborting");
    return 0;
  }
  const std::size_t count = net::ReceiveSome(
      session_, buffer, static_cast<std::size_t>(std::min<std::uint64_t>(capacity, data_left_)));
  data_left_ -= count;
  return count;
}

void MessageIntake::Discard() {
  for (const HeldFile& file : held_files_) {
    (void)platform::DeleteFile(inbound_ + PartialName(file.name));
  }
  held_files_.clear();
  saved_.Discard();
}

void MessageIntake::Hold(std::string_view label, std::string_view uid, std::string_view message_id,
                         const MessageOutcome& outcome) {
  batch_.Add(
      {std::string(label), saved_.number(), std::exchange(held_files_, {}),
       JournalEntry{mailbox_, std::string(uid), std::string(message_id), outcome.content_digest}},
      data_bytes_);
}

bool MessageIntake::Flush() {
  std::vector<std::string> labels;
  for (const TakenMessage& message : batch_.messages()) labels.push_back(message.label);
  const std::string failed = batch_.Flush();
  if (failed.empty()) return true;
  for (const std::string& label : labels) {
    Log("-- Could not write " + failed + ", message " + label + " left on the server");
    session_.NoteShortfall("message " + label);
  }
  return false;
}

}  // namespace kestrel::receive

namespace kestrel::receive {

void MessageIntake::JoinPieces() {
  const std::time_t now = std::time(nullptr);
  const std::time_t too_old = static_cast<std::time_t>(configuration_.SPOOLDAYS) * kSecondsADay;
  for (const PartialSet& set : spool_.Sets()) {
    if (set.id.empty() && set.numbers.empty()) {
      // Begun by a run that broke off before its first piece: it holds nothing.
      (void)spool_.Remove(set);
    } else if (set.Complete()) {
      Join(set);
    } else if (ReportDue(set, now)) {
      // However old, a set stays: only the sysop knows whether the rest will come.
      Log("-- Pieces of " + mime::Printable(set.id) + ": " + std::to_string(set.numbers.size()) +
          " of " + (set.total ? std::to_string(*set.total) : std::string("?")) + " here since " +
          DateText(set.since) + ", waiting for the rest in " + set.directory);
      if (now - set.since >= too_old) {
        Log("-- Pieces of " + set.Describe() + " waiting longer than " +
            std::to_string(configuration_.SPOOLDAYS) + " days (SPOOLDAYS)");
        Log("-- To the inbound as they are: kestrel --pieces deliver " + set.ShortName() +
            "; away: kestrel --pieces remove " + set.ShortName());
        session_.NoteShortfall("pieces of " + mime::Printable(set.id));
      }
      spool_.MarkReported(set);
    }
  }
}

// The pieces in order are the message they were cut from: it goes through
// the scanner like any other, and the set goes only once its files are safe.
void MessageIntake::Join(const PartialSet& set) {
  const std::string id = mime::Printable(set.id);
  if (!CreateSavedText()) return;
  PartialSetReader source(set);
  auto reader = std::make_unique<BodyReader>(
      [&source](char* buffer, std::size_t capacity) { return source.Read(buffer, capacity); });
  reader->Reset(set.bytes);
  decoder_.StartMessage(saved_.file(), saved_.Stem(), saved_.Path(saved_.number()));
  BodyPiece piece;
  BodyStatus status;
  while ((status = reader->ReadBodyLine(piece)) == BodyStatus::Piece) {
    decoder_.ScanBodyLine(piece.text, piece.line_ends);
  }
  MessageOutcome outcome = decoder_.EndOfMessage(status == BodyStatus::EndOfData);
  for (const std::string& line : outcome.report) Log(line);
  if (!source.error().empty()) Log("-- Could not read " + source.error());
  if (saved_.Close() && outcome.whole) {
    batch_.Add({id, saved_.number(), std::exchange(held_files_, {}), std::nullopt}, set.bytes);
    const std::string failed = batch_.Flush();
    if (failed.empty()) {
      Log("-- Joined " + std::to_string(*set.total) + " pieces of " + id);
      if (!spool_.Remove(set)) Log("-- Could not remove " + set.directory);
      mail_received_ = true;
      return;
    }
    Log("-- Could not write " + failed);
  } else {
    Discard();
  }
  Log("-- Pieces of " + id + " not joined, kept in " + set.directory + " for the next run");
  session_.NoteShortfall("pieces of " + id);
}

}  // namespace kestrel::receive
