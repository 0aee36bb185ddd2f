// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Mails shaped the way real senders send files, made by
// tests/servers/mail_shapes.py with Python's email package, together with
// what each of them must leave behind in the inbound and the mailbox.

#include <optional>
#include <string>
#include <vector>

namespace kestrel::testing {

struct ShapedMail {
  std::string content;  // the message as it goes into the mailbox
  // "taken"; "failed" (a part cannot be saved: the message stays and the
  // run reports it); "skipped" (the filters do not take it).
  std::string state;
};

struct ExpectedFile {
  std::size_t mail = 0;  // index into MailShapes::mails
  std::string name;      // "*.bin": a made-up name with that extension
  std::string content;
};

struct MailShapes {
  std::vector<ShapedMail> mails;
  std::vector<ExpectedFile> files;
  std::vector<ExpectedFile> existing;  // in the inbound before the run (mail unused)
  std::size_t joined = 0;              // sets of pieces that become one message each
};

// Runs the script with `arguments` ("shapes", or "random SEED COUNT") in a
// scratch directory under `directory`; nothing when it failed (the reason
// goes to `error`).
std::optional<MailShapes> MakeMailShapes(const std::string& directory,
                                         const std::vector<std::string>& arguments,
                                         std::string& error);

}  // namespace kestrel::testing
