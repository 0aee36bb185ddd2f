// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/imap/imap_dialogue.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "mime/ascii_text.h"
#include "receive/imap/imap_channel.h"
#include "receive/imap/imap_folders.h"
#include "receive/imap/imap_idle.h"
#include "receive/imap/imap_login.h"
#include "receive/imap/imap_mailbox.h"
#include "receive/walk/mailbox_walk.h"
#include "receive/walk/message_intake.h"

namespace kestrel::receive {
namespace {

using net::Echo;

// Walks follow each other no closer, whatever news the server announces.
constexpr auto kMinWalkInterval = std::chrono::seconds(2);
// A Stop ends the pause between walks this soon.
constexpr auto kPaceStep = std::chrono::milliseconds(100);

class ImapWalk {
 public:
  ImapWalk(net::NetSession& session, const config::Configuration& configuration,
           const SentMessages* sent)
      : session_(session),
        configuration_(configuration),
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
    std::optional<ImapCapabilities> capabilities = ImapLogin(channel_, configuration_).offer();
    if (capabilities) capabilities_ = std::move(*capabilities);
    if (capabilities && Select()) {
      ImapMailbox mailbox(session_, configuration_, folder_, channel_, intake_, capabilities_,
                          validity_);
      while (intake_.Open()) {
        (void)channel_.TakeNews();
        walk_started_ = std::chrono::steady_clock::now();
        const net::StepResult walked =
            mailbox.List() ? MailboxWalk(session_, configuration_, intake_, mailbox).Run()
                           : net::StepResult::Of(session_);
        intake_.Close();
        if (waiting.idle_seconds <= 0 || !walked.ok() || mailbox.Stopped()) break;
        // Mail announced during the walk is taken without waiting for more.
        if (!channel_.TakeNews()) {
          waiting.idled = capabilities_.Has("IDLE");
          if (!WaitForMail(channel_, capabilities_, waiting.idle_seconds).news) break;
        }
        if (!PaceWalks(mailbox)) break;
      }
    }
    const std::string tag = channel_.Send("LOGOUT");
    (void)channel_.Finish(tag, kImapReplyBounds, Echo::Logged);
  }

 private:
  void Log(std::string_view text) { net::LogLine(session_, text); }

  // A server that announces news without end does not make the walks follow
  // each other closer than kMinWalkInterval; false when stopped meanwhile.
  bool PaceWalks(Mailbox& mailbox) {
    const auto due = walk_started_ + kMinWalkInterval;
    for (auto now = std::chrono::steady_clock::now(); now < due;
         now = std::chrono::steady_clock::now()) {
      if (session_.IsAborted() || mailbox.Stopped()) return false;
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(due - now, kPaceStep));
    }
    return !session_.IsAborted() && !mailbox.Stopped();
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

  net::NetSession& session_;
  const config::Configuration& configuration_;
  const std::string folder_;
  ImapChannel channel_;
  MessageIntake intake_;
  ImapCapabilities capabilities_;
  std::string validity_;
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
