// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/message_identity.h"

#include <ctime>

#include "platform/files.h"
#include "send/file_message.h"
#include "send/message_pieces.h"

namespace kestrel::send {

using outbound::SendKind;

namespace {

std::string Joined(const std::vector<std::string>& recipients) {
  std::string addresses;
  for (const std::string& recipient : recipients) {
    addresses += (addresses.empty() ? "" : ",") + recipient;
  }
  return addresses;
}

// A piece is recorded under its own Message-ID and the number of pieces in
// its set: a set cut otherwise (another limit) has other pieces.
std::string PieceKey(const std::string& message_id, std::uint64_t number, std::uint64_t total) {
  return PieceMessageId(message_id, number) + "/" + std::to_string(total);
}

}  // namespace

std::optional<std::string> MessageIdentity::Load() {
  std::string error;
  if (sent_.Load(std::time(nullptr), error)) return std::nullopt;
  return "-- Could not read " + sent_.path() + " (" + error + ")";
}

MessageStamp MessageIdentity::StampFor(const outbound::SendEntry& entry,
                                       const std::vector<std::string>& recipients,
                                       std::string_view local_host) const {
  const bool netmail = entry.Kind == SendKind::NetmailText || entry.Kind == SendKind::NetmailPacket;
  return {MailDate(std::time(nullptr)),
          QueuedMessageId(configuration_.FROMEMAIL, recipients,
                          netmail ? StoredMessageFields(entry.Path) : FileFields(entry.Path),
                          MessageIdDomain(configuration_.FROMEMAIL, local_host), sent_)};
}

std::optional<std::string> MessageIdentity::Failure(bool written, const std::string& error) const {
  if (written) return std::nullopt;
  return "-- Could not write " + sent_.path() + " (" + error + ")";
}

std::optional<std::string> MessageIdentity::RecordConfirmed(
    const std::string& message_id, const std::string& node,
    const std::vector<std::string>& recipients, const std::string& path) {
  std::string error;
  return Failure(sent_.RecordForSync({0, message_id, node, Joined(recipients), path},
                                     std::time(nullptr), error),
                 error);
}

std::optional<std::string> MessageIdentity::SyncConfirmed() {
  std::string error;
  return Failure(sent_.SyncRecorded(error), error);
}

std::optional<std::string> MessageIdentity::RecordPiece(const std::string& message_id,
                                                        std::uint64_t number, std::uint64_t total,
                                                        const std::string& node,
                                                        const std::vector<std::string>& recipients,
                                                        const std::string& path) {
  std::string error;
  return Failure(
      sent_.Record({0, PieceKey(message_id, number, total), node, Joined(recipients), path},
                   std::time(nullptr), error),
      error);
}

bool MessageIdentity::HasPiece(const std::string& message_id, std::uint64_t number,
                               std::uint64_t total, const std::vector<std::string>& recipients,
                               const std::string& path) const {
  const SentRecord::Entry* entry = sent_.Find(PieceKey(message_id, number, total));
  return entry && entry->path == path && entry->addresses == Joined(recipients);
}

std::optional<std::string> MessageIdentity::RecordUntidied(const std::string& message_id,
                                                           const outbound::SendList& list,
                                                           const std::vector<int>& entries) {
  for (const int i : entries) {
    const outbound::SendEntry& entry = list.Entry(i);
    // A file gone meanwhile stays queued no more.
    const std::optional<platform::FileIdentity> file = platform::IdentifyFile(entry.Path);
    if (!file) continue;
    const config::RedirectEntry& redirect = RedirectOf(configuration_, entry);
    std::string error;
    if (!sent_.RecordUntidied({0, message_id, redirect.Address, redirect.EmailAddress, entry.Path},
                              file->size, file->modified_ns, std::time(nullptr), error)) {
      return "-- Could not write " + sent_.path() + " (" + error + ")";
    }
  }
  return std::nullopt;
}

}  // namespace kestrel::send
