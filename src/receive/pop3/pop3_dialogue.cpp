// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/pop3/pop3_dialogue.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "core/text_utils.h"
#include "receive/pop3/pop3_login.h"
#include "receive/pop3/pop3_mailbox.h"
#include "receive/pop3/pop3_pace.h"
#include "receive/pop3/pop3_reply.h"
#include "receive/walk/mailbox_walk.h"
#include "receive/walk/message_intake.h"

namespace kestrel::receive {
namespace {

using core::Field;

// A UIDL line: a message number, a blank and at most 70 characters.
constexpr std::uint64_t kMaxUidlLineBytes = 84;

void Log(net::NetSession& session, std::string_view text) {
  net::LogLine(session, text);
}

class Pop3Walk {
 public:
  Pop3Walk(net::NetSession& session, const config::Configuration& configuration,
           const SentMessages* sent)
      : session_(session),
        configuration_(configuration),
        front_end_(session.logger().front_end()),
        intake_(session, configuration,
                configuration.POPUSERNAME + "@" + configuration.POPSERVER + ":" +
                    std::to_string(configuration.POPPORT),
                sent) {}

  void Run() {
    if (Login() && intake_.Open()) {
      ReadUniqueIds();
      constexpr auto kMost = static_cast<std::int32_t>(kMaxWalkMessages);
      listing_.count = std::min(size_.messages, kMost);
      listing_.announced = size_.messages;
      listing_.bytes = size_.bytes;
      if (listing_.count < size_.messages) {
        Log(session_,
            "-- Only the first " + std::to_string(listing_.count) + " messages are looked at");
        session_.NoteShortfall("messages beyond " + std::to_string(listing_.count));
      }
      Pop3Mailbox mailbox(session_, intake_, std::move(listing_));
      // The outcome is the session's: QUIT follows whatever it was.
      (void)MailboxWalk(session_, configuration_, intake_, mailbox).Run();
      intake_.Close();
    }
    net::SendLine(session_, "QUIT");
    (void)ReadPop3Reply(session_);
  }

 private:
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
      listing_.unique_ids[core::TextToInt(line.substr(0, blank))] = line.substr(blank + 1);
    }
  }

  // Login and STAT; true when STAT was accepted.
  bool Login() {
    const std::optional<Pop3Capabilities> capabilities =
        Pop3Login(session_, configuration_).offer();
    if (!capabilities) return false;
    listing_.pipelining = capabilities->pipelining;
    RecordLogin(session_, configuration_, capabilities->login_delay_seconds);
    net::SendLine(session_, "STAT");
    const net::Reply reply = ReadPop3Reply(session_);
    if (!IsOk(reply)) {
      net::LogAndAbort(session_, "-- Could not connect (" + reply.last() + ")");
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

  net::NetSession& session_;
  const config::Configuration& configuration_;
  core::FrontEnd& front_end_;
  MessageIntake intake_;
  MailboxSize size_;
  Pop3Listing listing_;
};

}  // namespace

MailboxSize ParseStatReply(std::string_view reply) {
  MailboxSize size;
  std::string_view rest = reply.substr(reply.size() < 4 ? reply.size() : 4);
  const auto blank = rest.find(' ');
  if (blank == std::string_view::npos) return size;
  size.messages = core::TextToInt(rest.substr(0, blank));
  rest.remove_prefix(blank + 1);
  // In 64 bits, since a mailbox may hold more than 2 GiB; 0 when no number.
  const std::string_view octets = rest.substr(0, rest.find(' '));
  (void)std::from_chars(octets.data(), octets.data() + octets.size(), size.bytes);
  return size;
}

net::Endpoint Pop3Endpoint(const config::Configuration& configuration) {
  return {configuration.POPSERVER, configuration.POPPORT, "pop3", kDefaultPop3Port,
          configuration.NETTIMEOUT};
}

void RunPop3Dialogue(net::NetSession& session, const config::Configuration& configuration,
                     const SentMessages* sent) {
  Pop3Walk(session, configuration, sent).Run();
}

}  // namespace kestrel::receive
