// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The program's own "--" options, apart from the switches of the command line
// ("/AUTO", "/SEND", ...), which the controller reads.

#include <string>
#include <vector>

namespace kestrel {

enum class StatusOption { None, Text, Json };

struct ProgramOptions {
  bool console = false;                      // --console: no window
  bool help = false;                         // --help, whatever else is given
  bool version = false;                      // --version, whatever else is given
  bool pieces = false;                       // --pieces: the spool of split messages
  std::vector<std::string> pieces_words;     // the words after --pieces
  bool login = false;                        // --login: the OAuth 2.0 logins
  std::vector<std::string> login_accounts;   // the words after --login ("imap")
  StatusOption status = StatusOption::None;  // --status, --status=json
  std::string unknown;                       // the first unknown "--" option, if any
  std::vector<std::string> switches;         // everything else, in order
};

[[nodiscard]] ProgramOptions ParseProgramOptions(const std::vector<std::string>& arguments);

// The text --help prints.
[[nodiscard]] std::string HelpText();

}  // namespace kestrel
