// SPDX-License-Identifier: GPL-2.0-or-later
#include "program_options.h"

#include "core/version.h"

namespace kestrel {

ProgramOptions ParseProgramOptions(const std::vector<std::string>& arguments) {
  ProgramOptions options;
  for (const std::string& argument : arguments) {
    const bool word = !argument.empty() && argument.front() != '/' && argument.rfind("--", 0) != 0;
    if (argument == "--login") {
      options.login = true;
    } else if (options.login && word) {
      options.login_accounts.push_back(argument);
    } else if (argument == "--console") {
      options.console = true;
    } else if (argument == "--help") {
      options.help = true;
    } else if (argument == "--version") {
      options.version = true;
    } else if (argument == "--status" || argument == "--status=json") {
      options.status = argument == "--status" ? StatusOption::Text : StatusOption::Json;
    } else if (argument == "--pieces") {
      options.pieces = true;
    } else if (options.pieces && !argument.empty() && argument.front() != '/' &&
               argument.rfind("--", 0) != 0) {
      options.pieces_words.push_back(argument);
    } else if (argument.rfind("--", 0) == 0) {
      if (options.unknown.empty()) options.unknown = argument;
    } else {
      options.switches.push_back(argument);
    }
  }
  return options;
}

std::string HelpText() {
  return "Kestrel " + std::string(core::kVersion) +
         " - carries FidoNet mail over Internet e-mail\n"
         "\n"
         "Usage: kestrel [--console] [switch...]\n"
         "       kestrel --pieces [list | deliver NAME | remove NAME] [/CFG:file]\n"
         "       kestrel --login [smtp|pop|imap]... [/CFG:file]\n"
         "       kestrel --status[=json] [/CFG:file]\n"
         "       kestrel --help | --version\n"
         "\n"
         "  --console      run without the window, also when a display is available\n"
         "  --pieces       list the sets of split messages waiting for their pieces;\n"
         "                 deliver NAME hands one to the inbound as it is, remove NAME\n"
         "                 removes it\n"
         "  --login        log in once to each account whose SMTPOAUTH, POPOAUTH or\n"
         "                 IMAPOAUTH is set (or to those named) and keep its tokens\n"
         "  --status       show what waits for each link, since when, and each side's\n"
         "                 last run; =json for a monitor. Exit status 1 when work is\n"
         "                 older than STALEHOURS or a side's last run failed\n"
         "  /AUTO          send and receive\n"
         "  /SEND          send only\n"
         "  /GET           receive only\n"
         "  /PUT:minutes   poll the sending side every so many minutes\n"
         "  /CHECK:minutes poll the receiving side every so many minutes\n"
         "  /HANGUP        hang up every dial-up connection first\n"
         "  /SHUTDOWN      end once the jobs are done\n"
         "  /CFG:file      read file instead of KESTREL.INI\n"
         "  /REPORT        list what waits to be sent, send nothing\n"
         "  /CONNECT       dial the configured dial-up entry\n"
         "  /QUIET         print nothing but problems (on standard error), for cron\n"
         "\n"
         "Switches count anywhere in an argument and in any letter case, but not\n"
         "inside the file name of /CFG:.\n"
         "Exit status: 0 all done, 1 something failed or was not sent or saved,\n"
         "2 usage or configuration error.\n"
         "The program's files (KESTREL.INI, KESTREL.FLT, HEADER.TXT, SEND.LOG,\n"
         "RECEIVE.LOG) live in $KESTREL_HOME; else, for a program installed in a\n"
         "system directory such as /usr/bin, in ~/.config/kestrel; else beside it.\n"
         "See kestrel(1).\n";
}

}  // namespace kestrel
