// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A small FidoNet system with real mail servers on 127.0.0.1, for driving the
// window through a whole round: a mail packet and a file listed in a flow file
// for node 2:236/200, sent by SMTP (aiosmtpd), handed to the POP3 mailbox
// (dovecot) and received back into the inbound.

#include <memory>
#include <string>
#include <vector>

#include "support/mail_servers.h"
#include "support/temp_dir.h"

namespace kestrel::gui {

class SampleRound {
 public:
  // Starts both servers and writes the program's home (KESTREL_HOME is set to
  // it for the object's life): KESTREL.INI, HEADER.TXT, KESTREL.FLT.
  SampleRound();
  ~SampleRound();

  [[nodiscard]] bool servers_running() const;
  [[nodiscard]] const std::string& home() const { return dir_.path(); }
  [[nodiscard]] std::string Path(const std::string& relative) const { return dir_.File(relative); }

  // The contents that must arrive unchanged: the packet and the listed file.
  [[nodiscard]] const std::vector<std::string>& SentContents() const { return sent_; }
  // Waits (bounded) for `count` mails at the SMTP server, then moves them into
  // the POP3 mailbox; true when they were there.
  bool HandMailToMailbox(std::size_t count);
  // True when every sent content is some file of the inbound.
  [[nodiscard]] bool ArrivedUnchanged() const;

 private:
  kestrel::testing::TempDir dir_;
  std::unique_ptr<kestrel::testing::SmtpServer> smtp_;
  std::unique_ptr<kestrel::testing::Pop3Server> pop3_;
  std::vector<std::string> sent_;
};

}  // namespace kestrel::gui
