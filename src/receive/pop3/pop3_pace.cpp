// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/pop3/pop3_pace.h"

#include <charconv>
#include <ctime>
#include <optional>

#include "mime/ascii_text.h"
#include "platform/files.h"
#include "platform/program_home.h"

namespace kestrel::receive {

namespace {

// The record is one short line; anything longer is not ours.
constexpr std::uint64_t kMaxRecordBytes = 1024;
constexpr std::int64_t kSecondsPerHour = 3600;

struct LastLogin {
  std::int64_t at = 0;             // seconds since 1970
  std::int64_t delay_seconds = 0;  // as the server announced it then
};

std::string RecordFile() {
  return platform::HomeFile(platform::ProgramBaseName() + ".LGN");
}

// The mailbox a record is about: another one's record says nothing here.
std::string MailboxName(const config::Configuration& configuration) {
  return configuration.POPUSERNAME + "@" + configuration.POPSERVER + ":" +
         std::to_string(configuration.POPPORT);
}

std::int64_t NowSeconds() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

bool TakeNumber(std::string_view& text, std::int64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return false;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return true;
}

// "mailbox<TAB>seconds<TAB>delay"; nothing when missing, unreadable or
// about another mailbox.
std::optional<LastLogin> ReadLastLogin(const config::Configuration& configuration) {
  std::string content;
  if (platform::ReadBoundedFile(RecordFile(), 0, kMaxRecordBytes, content) !=
      platform::ReadOutcome::Ok) {
    return std::nullopt;
  }
  const std::string prefix = MailboxName(configuration) + "\t";
  if (!content.starts_with(prefix)) return std::nullopt;
  std::string_view rest(content);
  rest.remove_prefix(prefix.size());
  LastLogin last;
  if (!TakeNumber(rest, last.at) || !rest.starts_with('\t')) return std::nullopt;
  rest.remove_prefix(1);
  if (!TakeNumber(rest, last.delay_seconds)) return std::nullopt;
  return last;
}

}  // namespace

bool IsPacedRefusal(std::string_view reply) {
  const std::string upper = mime::UpperCase(reply);
  return upper.starts_with("-ERR [LOGIN-DELAY]") || upper.starts_with("-ERR [IN-USE]");
}

void NotePacedRefusal(net::NetSession& session, const config::Configuration& configuration,
                      const std::string& reply) {
  const std::optional<LastLogin> last = ReadLastLogin(configuration);
  std::string why;
  if (mime::UpperCase(reply).starts_with("-ERR [IN-USE]")) {
    why = "the mailbox is in use";
  } else if (last && last->delay_seconds > 0) {
    why = "the server allows a login every " + std::to_string(last->delay_seconds) + " s";
  } else {
    why = "the server asks for a pause between logins";
  }
  net::LogLine(session,
               ("-- Login put off: " + why + " (" + reply + ")").substr(0, core::kMaxLogLine));
  const std::int64_t stale_after = configuration.STALEHOURS * kSecondsPerHour;
  if (last && NowSeconds() - last->at < stale_after) return;
  net::LogLine(session, last ? "-- The mailbox has not been read for " +
                                   std::to_string((NowSeconds() - last->at) / kSecondsPerHour) +
                                   " hours (STALEHOURS " +
                                   std::to_string(configuration.STALEHOURS) + ")"
                             : "-- The mailbox has not been read yet");
  session.NoteShortfall("the login", reply);
}

void RecordLogin(net::NetSession& session, const config::Configuration& configuration,
                 std::int64_t delay_seconds) {
  const std::string line = MailboxName(configuration) + "\t" + std::to_string(NowSeconds()) + "\t" +
                           std::to_string(delay_seconds) + "\n";
  platform::RemoveUnfinishedReplacements(RecordFile());
  if (!platform::ReplaceFileContent(RecordFile(), line)) {
    net::LogLine(session, "-- Could not record the login time in " + RecordFile());
  }
}

std::string LoginTooSoonLine(const config::Configuration& configuration) {
  const std::optional<LastLogin> last = ReadLastLogin(configuration);
  if (!last || last->delay_seconds <= 0) return {};
  const std::int64_t wait = last->at + last->delay_seconds - NowSeconds();
  if (wait <= 0) return {};
  return "-- The server allows a login every " + std::to_string(last->delay_seconds) +
         " s: this round is skipped (" + std::to_string(wait) + " s to go)";
}

}  // namespace kestrel::receive
