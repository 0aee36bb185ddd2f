// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/command_limit.h"

#include <string>

namespace kestrel::net {

// IMAP allows longer commands than POP3; the receiving side keeps to the
// POP3 bound for both, which every IMAP server accepts.
std::size_t CommandLimit(const NetSession& session) {
  return session.side() == core::Side::Sending ? kMaxSmtpCommandLine : kMaxPop3CommandLine;
}

bool FitsCommandLine(NetSession& session, std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return true;
  LogAndAbort(session, "-- Command of " + std::to_string(text.size()) +
                           " characters is longer than the server accepts (" +
                           std::to_string(limit) + "), aborting");
  return false;
}

}  // namespace kestrel::net
