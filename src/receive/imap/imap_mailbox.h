// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// An IMAP folder as the walk sees it: its listing by UID FETCH, heads by
// BODY.PEEK[HEADER] and data by BODY.PEEK[] in windows matched to their
// UIDs, removal by MOVE (or COPY) to IMAPDONEFOLDER or UID STORE and UID
// EXPUNGE. Messages not taken stay unseen.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "core/front_end.h"
#include "net/net_session.h"
#include "receive/imap/imap_channel.h"
#include "receive/imap/imap_login.h"
#include "receive/intake/header_filter.h"
#include "receive/walk/mailbox.h"
#include "receive/walk/message_intake.h"

namespace kestrel::receive {

struct ImapListed {
  std::uint32_t uid = 0;
  std::uint64_t size = 0;
  bool deleted = false;
};
// Messages asked in one FETCH, in the order listed.
using ImapWindow = std::vector<const ImapListed*>;

class ImapMailbox final : public Mailbox {
 public:
  // validity: the folder's UIDVALIDITY, which makes its UIDs lasting names.
  ImapMailbox(net::NetSession& session, const config::Configuration& configuration,
              std::string folder, ImapChannel& channel, MessageIntake& intake,
              const ImapCapabilities& capabilities, std::string validity);

  // The folder's messages in order, with their UIDs, sizes and flags, and
  // their count in the log; the walk starts from the first. False when the
  // server would not list them.
  [[nodiscard]] bool List();

  Heads NextHeads(MailboxReader& reader) override;
  [[nodiscard]] bool Stopped() override;
  [[nodiscard]] std::size_t TakeCount(std::span<const MailboxMessage> run, bool compared,
                                      const BatchLoad& load) const override;
  [[nodiscard]] bool BatchDue(const BatchLoad& load) const override;
  Taking Take(std::span<const MailboxMessage> window, MailboxReader& reader) override;
  [[nodiscard]] std::optional<std::string> Fingerprint(const MailboxMessage& message,
                                                       WalkStep& step) override;
  [[nodiscard]] std::string Removing() override;
  WalkStep Remove(std::span<const MailboxMessage> messages) override;

 private:
  using Listed = ImapListed;
  using Window = ImapWindow;
  // What became of a message's data in a window's response.
  using OnData = std::function<void(const Listed& message, const MessageOutcome& outcome)>;

  void Log(std::string_view text);
  [[nodiscard]] bool ListMessages();
  void ShowProgress(const Listed& message);
  [[nodiscard]] std::string UniqueId(const Listed& message) const;
  [[nodiscard]] Window WindowOf(std::span<const MailboxMessage> messages) const;
  void ExpungeOwnMark(const Listed& message);
  [[nodiscard]] std::optional<std::string> DigestOf(const Listed& message);
  Heads OfferHeads(const Window& window, MailboxReader& reader);
  void ReadHeads(const Window& window, std::map<std::uint32_t, HeaderLines>& heads);
  Window FetchBodies(const Window& window, DecodeMode mode, const OnData& on_data,
                     ImapResult& result);
  ImapResult Command(const std::string& command, const std::string& failure,
                     std::string_view quiet_code = {});
  const std::string& DoneFolder();
  void RemoveUids(const Window& messages);
  bool MoveOrCopy(const std::string& verb, const Window& messages, const std::string& target,
                  const std::string& failure);

  net::NetSession& session_;
  const config::Configuration& configuration_;
  core::FrontEnd& front_end_;
  const std::string folder_;
  ImapChannel& channel_;
  MessageIntake& intake_;
  const ImapCapabilities& capabilities_;
  const std::string validity_;
  std::vector<Listed> listed_;
  std::size_t next_ = 0;      // of listed_, the first not yet looked at
  bool refuse_data_ = false;  // the disk failed: the rest of a response is read past
  std::optional<std::string> done_folder_;
  bool created_ = false;  // CREATE of the done folder was tried
};

}  // namespace kestrel::receive
