// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The "Date:" and "Message-ID:" of a message. The identifier is derived from
// what identifies the send, not drawn at random: a file sent again because
// its confirmation was lost carries the same identifier, so that the
// receiving side can recognise the retry; a changed file gets a new one, and
// so does a file queued again after it was confirmed (see sent_record.h).

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "send/sent_record.h"

namespace kestrel::send {

struct MessageStamp {
  std::string date;        // "Tue, 01 Jul 2025 12:34:56 +0200"
  std::string message_id;  // "<...@example.org>"
};

// RFC 5322 date-time of `when` in local time with its offset from UTC;
// English day and month names whatever the locale.
[[nodiscard]] std::string MailDate(std::time_t when);

// The right-hand side of a message identifier: the domain of the sender's
// address, else the local host name, else "localhost" (each only when it is
// a valid dot-atom).
[[nodiscard]] std::string MessageIdDomain(std::string_view from_email, std::string_view local_host);

// What the message carries, as fields of its identity: for a file "file",
// its real path, size and modification time; for a stored netmail message
// "netmail", its real path, the date written in its header and its size. A
// file that cannot be looked at gives its kind and the name as written.
[[nodiscard]] std::vector<std::string> FileFields(std::string_view path);
[[nodiscard]] std::vector<std::string> StoredMessageFields(std::string_view path);

// "<" + 32 hexadecimal digits of SHA-256 over the sender, the recipients (in
// any order) and the carried item's fields + "@" + domain + ">".
[[nodiscard]] std::string DerivedMessageId(std::string_view from_email,
                                           std::vector<std::string> recipients,
                                           const std::vector<std::string>& item_fields,
                                           std::string_view domain);

// DerivedMessageId, unless the record shows that identifier confirmed: then
// the item was queued again, and its fields get a generation ("queued", "2",
// then "3", ...), the first whose identifier the record does not know. A
// retry of a message never confirmed keeps its identifier.
[[nodiscard]] std::string QueuedMessageId(std::string_view from_email,
                                          const std::vector<std::string>& recipients,
                                          std::vector<std::string> item_fields,
                                          std::string_view domain, const SentRecord& sent);

}  // namespace kestrel::send
