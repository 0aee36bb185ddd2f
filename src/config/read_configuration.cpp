// SPDX-License-Identifier: GPL-2.0-or-later
#include "config/read_configuration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "config/configuration_line.h"
#include "config/text_lines.h"
#include "core/serving_lock.h"
#include "core/text_utils.h"
#include "platform/error_text.h"
#include "platform/file_names.h"
#include "platform/files.h"
#include "platform/program_home.h"

namespace kestrel::config {

namespace {

using core::Side;

// Held for one read.
std::timed_mutex read_lock;

// The full name on disk and the system's reason, so that a sysop reading the
// log from cron knows which file and why.
void ReadError(core::Logger& logger, Side side, const std::string& path, int error) {
  logger.LogLine(side,
                 "-- Error reading configuration " + path + " (" + platform::ErrorText(error) + ")",
                 core::LineKind::Problem);
}

// A configuration problem: each reaches the side being read, and standard
// error on the console.
void Problem(core::Logger& logger, Side side, const std::string& text) {
  logger.LogLine(side, text, core::LineKind::Problem);
}

// A directory the side depends on; a line naming it and why when it cannot be
// used, before anything is scanned or taken from the server.
bool DirectoryUsable(core::Logger& logger, Side side, const std::string& key,
                     const std::string& directory) {
  const std::string path = platform::ResolveName(directory);
  struct stat info {};
  int error = 0;
  if (::stat(path.c_str(), &info) != 0)
    error = errno;
  else if (!S_ISDIR(info.st_mode))
    error = ENOTDIR;
  if (error == 0) return true;
  Problem(logger, side,
          "** " + key + " " + path + " cannot be used (" + platform::ErrorText(error) + ")");
  return false;
}

// The directory part of a file name ("" when it has none).
std::string DirectoryOf(const std::string& name) {
  const std::size_t cut = name.find_last_of("/\\");
  return cut == std::string::npos ? std::string() : name.substr(0, cut + 1);
}

// Mail clients warn of credential files that others may read; so do we.
void WarnOfReadablePassword(core::Logger& logger, Side side, const std::string& path,
                            const Configuration& c) {
  if (c.POPPASSWORD.empty() && c.SMTPPASSWORD.empty() && c.IMAPPASSWORD.empty()) return;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return;
  if ((info.st_mode & (S_IRGRP | S_IROTH)) == 0) return;
  logger.LogLineKept(side,
                     "-- Warning: " + path +
                         " holds a password and can be read by other users"
                         " (chmod 600)",
                     true, core::LineKind::Problem);
}

// Logs what the read found; false when any of it makes the side unusable.
bool TakeRemarks(Side side, const Configuration& c, core::Logger& logger) {
  bool usable = true;
  for (const ConfigRemark& remark : c.Remarks) {
    Problem(logger, side, remark.text);
    if (remark.unusable) usable = false;
  }
  return usable;
}

// A side that obtains its own OAuth 2.0 tokens needs the application's
// client id, an account to log in as and, from a provider of its own, the
// token endpoint.
bool CheckOAuth(const Configuration& c, core::Logger& logger, Side side, OAuthProvider provider,
                const std::string& key, const std::string& user) {
  if (provider == OAuthProvider::None || provider == OAuthProvider::Invalid) return true;
  std::string missing;
  if (c.OAUTHCLIENTID.empty())
    missing = "** No OAUTHCLIENTID defined (" + key + " needs the application's client id)";
  else if (user.empty())
    missing = "** No user name defined (" + key + " logs in as it)";
  else if (provider == OAuthProvider::Custom && c.OAUTHTOKENURL.empty())
    missing = "** " + key + " custom needs OAUTHTOKENURL";
  if (missing.empty()) return true;
  Problem(logger, side, missing);
  return false;
}

bool CheckSending(const Configuration& c, core::Logger& logger) {
  const Side side = Side::Sending;
  if (c.OUTBOUND.empty() && c.NETMAIL.empty() && c.VFIDO.empty()) {
    Problem(logger, side, "** No Outbound, Netmail or VFIDO directory specified");
    return false;
  }
  if (c.HOST.empty()) {
    Problem(logger, side, "** No Hostname defined");
    return false;
  }
  // Without it mail goes out as "MAIL FROM:<>", which the far side's filters
  // never take.
  if (c.FROMEMAIL.empty()) {
    Problem(logger, side, "** No FROMEMAIL defined");
    return false;
  }
  if (c.FROMEMAIL.find('@') == std::string::npos) {
    Problem(logger, side, "** FROMEMAIL " + c.FROMEMAIL + " is not an e-mail address");
    return false;
  }
  bool usable = CheckOAuth(c, logger, side, c.SMTPOAUTH, "SMTPOAUTH", c.SMTPUSERNAME);
  if (!c.OUTBOUND.empty()) usable &= DirectoryUsable(logger, side, "OUTBOUND", c.OUTBOUND);
  if (!c.NETMAIL.empty()) usable &= DirectoryUsable(logger, side, "NETMAIL", c.NETMAIL);
  if (!c.VFIDO.empty()) usable &= DirectoryUsable(logger, side, "VFIDO", c.VFIDO);
  return usable;
}

// With IMAPSERVER set the POP3 keys are not needed.
bool CheckImap(const Configuration& c, core::Logger& logger) {
  const char* missing = nullptr;
  if (c.IMAPUSERNAME.empty())
    missing = "** No IMAPusername defined";
  else if (c.IMAPPASSWORD.empty() && c.IMAPPASSWORDCOMMAND.empty() && c.IMAPTOKENCOMMAND.empty() &&
           c.IMAPOAUTH == OAuthProvider::None)
    missing = "** No IMAPpassword defined";
  if (!missing)
    return CheckOAuth(c, logger, Side::Receiving, c.IMAPOAUTH, "IMAPOAUTH", c.IMAPUSERNAME);
  Problem(logger, Side::Receiving, missing);
  return false;
}

// The POP3 keys of the receiving side.
bool CheckPop3(const Configuration& c, core::Logger& logger) {
  const Side side = Side::Receiving;
  const char* missing = nullptr;
  const bool password_elsewhere = !c.POPPASSWORDCOMMAND.empty() || !c.POPTOKENCOMMAND.empty() ||
                                  c.POPOAUTH != OAuthProvider::None;
  if (c.POPSERVER.empty())
    missing = "** No POPserver defined";
  else if (c.POPUSERNAME.empty())
    missing = "** No POPusername defined";
  else if (c.POPPASSWORD.empty() && !password_elsewhere)
    missing = "** No POPpassword defined";
  if (missing) {
    Problem(logger, side, missing);
    return false;
  }
  return CheckOAuth(c, logger, side, c.POPOAUTH, "POPOAUTH", c.POPUSERNAME);
}

bool CheckReceiving(const Configuration& c, core::Logger& logger) {
  const Side side = Side::Receiving;
  if (!(c.IMAPSERVER.empty() ? CheckPop3(c, logger) : CheckImap(c, logger))) return false;
  // A flag nobody could create would leave the tosser waiting for nothing.
  const std::string flag_directory = DirectoryOf(c.EMAILARRIVED);
  return flag_directory.empty() ||
         DirectoryUsable(logger, side, "EMAILARRIVED directory", flag_directory);
}

// Without a filter file every message would be skipped, run after run.
bool LoadFilters(core::Logger& logger, Configuration& c) {
  const std::string filter_file =
      platform::ResolveName(platform::HomeFile(platform::ProgramBaseName() + ".FLT"));
  if (!platform::FileExists(filter_file)) {
    Problem(logger, Side::Receiving,
            "** No filter file " + filter_file + ": no message would be taken");
    return false;
  }
  LoadFilterFile(filter_file, c.Filters);
  for (const std::string& keyword : c.Filters.Unknown) {
    Problem(logger, Side::Receiving, "** Unknown filter keyword " + keyword + " in " + filter_file);
  }
  return true;
}

}  // namespace

bool ReadConfiguration(Side side, const std::string& config_file_name, Configuration& configuration,
                       core::Logger& logger) {
  const auto held = core::LockServingWrites(read_lock, logger.front_end());
  Configuration& c = configuration;
  ResetForRead(side, c);

  // The real name on disk: what is read, and what the lines below show.
  const std::string path = platform::ResolveName(platform::InHome(config_file_name));
  TextLineReader reader(path);
  if (!reader.is_open()) {
    ReadError(logger, side, path, errno);
    // Cron and systemd start it where no one chose a home: say how to.
    logger.LogLine(side,
                   "-- Another home with KESTREL_HOME=directory, or another file with /CFG:file",
                   core::LineKind::Problem);
    return false;
  }
  std::string line;
  int number = 0;
  while (reader.Next(line)) {
    ++number;
    TakeConfigurationLine(side, std::move(line), c, path + " line " + std::to_string(number));
  }
  if (reader.failed()) {
    ReadError(logger, side, path, errno);
    return false;
  }
  logger.SetSizeLimit(c.LOGSIZE);
  logger.SetLineTimes(c.LOGTIME);
  WarnOfReadablePassword(logger, side, path, c);
  const bool remarks_allow = TakeRemarks(side, c, logger);

  if (side == Side::Sending) return CheckSending(c, logger) && remarks_allow;
  const bool filters_loaded = LoadFilters(logger, c);
  return CheckReceiving(c, logger) && filters_loaded && remarks_allow;
}

}  // namespace kestrel::config
