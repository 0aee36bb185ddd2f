// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// What a get job does with the messages it takes, whatever protocol brings
// them: the saved text under the next number, the data through the scanner
// within the bounds the server announced, and the one rule of taking: a
// message may leave the server only once its files, its saved text, both
// directories and its journal entry are on the disk; taken messages go
// there in batches.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "config/configuration.h"
#include "core/stopwatch.h"
#include "mime/delivery_report.h"
#include "net/net_session.h"
#include "net/reply.h"
#include "platform/directory_view.h"
#include "platform/files.h"
#include "receive/intake/attachment_decoder.h"
#include "receive/intake/body_reader.h"
#include "receive/intake/received_journal.h"
#include "receive/intake/saved_texts.h"
#include "receive/intake/sent_messages.h"
#include "receive/intake/taken_batch.h"
#include "receive/partial/partial_catcher.h"
#include "receive/partial/partial_spool.h"

namespace kestrel::receive {

// The directory of the saved texts and HIGHEST.DAT, ending in a separator:
// SAVEEMAIL, or the program's home when it is empty.
[[nodiscard]] std::string SaveDirectory(const config::Configuration& configuration);

// Where received files go, ending in a separator: INBOUND, or the program's
// home when it is empty.
[[nodiscard]] std::string InboundDirectory(const config::Configuration& configuration);

class MessageIntake {
 public:
  // mailbox: whose unique ids the journal keeps ("user@server:port");
  // sent: what the sending side sent, to name the file a bounce is about.
  MessageIntake(net::NetSession& session, const config::Configuration& configuration,
                std::string mailbox, const SentMessages* sent = nullptr);
  ~MessageIntake();
  MessageIntake(const MessageIntake&) = delete;
  MessageIntake& operator=(const MessageIntake&) = delete;

  // Before the first message: the inbound must be usable and the journal
  // readable, else nothing is taken (with a line). Stale partial files go,
  // and the numbering starts from HIGHEST.DAT.
  [[nodiscard]] bool Open();
  // After the last message: sets of pieces now complete are joined into the
  // inbound (and those that failed before), sets still waiting are told once
  // a day; then HIGHEST.DAT, and the arrival flag when a taken message's
  // files reached the inbound or a set was joined.
  void Close();

  // The journal (or the batch) may know the message: compare before taking
  // it, once the batch is flushed.
  [[nodiscard]] bool IsSuspect(std::string_view uid, std::string_view message_id) const;
  // Proven the same as one taken before: same content, same uid or Message-ID.
  [[nodiscard]] bool IsCopy(std::string_view uid, std::string_view message_id,
                            std::string_view digest) const;

  // The saved text of the next message, under the next free number; false
  // with its line when it cannot be created.
  [[nodiscard]] bool CreateSavedText();

  // The data of message `label` as the server sends it (up to the "." line,
  // or `counted` bytes), through the scanner; at most `bounds`. A leading
  // mbox "From " line goes into the saved text only, as mail readers skip it. Save writes
  // into the saved text made before and closes it; VerifyOnly writes nothing.
  [[nodiscard]] MessageOutcome ReceiveData(std::string_view label, DecodeMode mode,
                                           const net::ReadBounds& bounds,
                                           std::optional<std::uint64_t> counted = std::nullopt);
  // The bytes of the last data as they came, its "." line included.
  [[nodiscard]] std::uint64_t data_bytes() const { return data_bytes_; }

  // A whole message joins the batch of those that go to the disk together.
  void Hold(std::string_view label, std::string_view uid, std::string_view message_id,
            const MessageOutcome& outcome);
  // The batch should go to the disk before the next message is taken.
  [[nodiscard]] bool BatchFull() const { return batch_.Full(); }
  // What the batch takes before it is full: messages, and bytes of their data.
  [[nodiscard]] std::size_t BatchMessageRoom() const { return batch_.MessageRoom(); }
  [[nodiscard]] std::uint64_t BatchByteRoom() const { return batch_.ByteRoom(); }
  // The batch goes to the disk and into the journal; then its messages may
  // leave the server. False with their lines when that failed: their files
  // and saved texts are removed again, and the walk must end.
  [[nodiscard]] bool Flush();
  // The messages flushed are in the inbound: the arrival flag is due.
  void Taken() { mail_received_ = true; }
  // The message stays on the server: its saved text and number go.
  void Discard();

 private:
  [[nodiscard]] bool InboundUsable();
  [[nodiscard]] bool JournalUsable();
  [[nodiscard]] std::size_t ReadData(char* buffer, std::size_t capacity);
  void Log(std::string_view text);
  void ReportBounce(std::string_view label, const mime::DeliveryReport& report);
  void JoinPieces();
  void Join(const PartialSet& set);

  net::NetSession& session_;
  const config::Configuration& configuration_;
  const std::string inbound_;
  const std::string mailbox_;
  const SentMessages* sent_;
  ReceivedJournal journal_;
  AttachmentDecoder decoder_;
  PartialSpool spool_;
  PartialCatcher catcher_;
  BodyReader reader_;
  SavedTexts saved_;
  std::vector<HeldFile> held_files_;  // of the message being read
  TakenBatch batch_;
  std::uint64_t data_bytes_ = 0;  // of the last message read
  // One read of each directory a run, whatever is waiting in them.
  std::optional<platform::DirectoryView> inbound_view_;
  std::optional<platform::DirectoryView> save_view_;
  net::ReadBounds bounds_;       // of the data being read
  std::uint64_t data_left_ = 0;  // of its bytes
  core::Stopwatch data_clock_;
  bool mail_received_ = false;
};

}  // namespace kestrel::receive
