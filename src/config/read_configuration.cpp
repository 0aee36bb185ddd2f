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
#include "platform/program_home.h"

namespace kestrel::config {

namespace {

using core::Side;

// Held for one read.
std::timed_mutex read_lock;

// The full name on disk and the system's reason, so that a sysop reading the
// log from cron knows which file and why.
void ReadError(core::Logger& logger, const std::string& path, int error) {
  logger.LogLine(Side::Sending, "-- Error reading configuration " + path + " (" +
                                    platform::ErrorText(error) + ")");
}

// Mail clients warn of credential files that others may read; so do we.
void WarnOfReadablePassword(core::Logger& logger, const std::string& path, const Configuration& c) {
  if (c.POPPASSWORD.empty() && c.SMTPPASSWORD.empty() && c.IMAPPASSWORD.empty()) return;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return;
  if ((info.st_mode & (S_IRGRP | S_IROTH)) == 0) return;
  logger.LogLine(Side::Sending, "-- Warning: " + path +
                                    " holds a password and can be read by other users"
                                    " (chmod 600)");
}

// Logs what the read found; false when any of it makes the side unusable.
bool TakeRemarks(const Configuration& c, core::Logger& logger) {
  bool usable = true;
  for (const ConfigRemark& remark : c.Remarks) {
    logger.LogLine(Side::Sending, remark.text);
    if (remark.unusable) usable = false;
  }
  return usable;
}

bool CheckSending(const Configuration& c, core::Logger& logger) {
  if (c.OUTBOUND.empty() && c.NETMAIL.empty() && c.VFIDO.empty()) {
    logger.LogLine(Side::Sending, "** No Outbound, Netmail or VFIDO directory specified");
    return false;
  }
  if (c.HOST.empty()) {
    logger.LogLine(Side::Sending, "** No Hostname defined");
    return false;
  }
  if (c.SMTPTLS == TlsMode::Invalid) {
    logger.LogLine(Side::Sending, "** Unknown SMTPTLS mode " + c.SMTPTLSTEXT);
    return false;
  }
  return true;
}

// With IMAPSERVER set the POP3 keys are not needed.
bool CheckImap(const Configuration& c, core::Logger& logger) {
  const char* missing = nullptr;
  if (c.IMAPUSERNAME.empty())
    missing = "** No IMAPusername defined";
  else if (c.IMAPPASSWORD.empty() && c.IMAPPASSWORDCOMMAND.empty() && c.IMAPTOKENCOMMAND.empty())
    missing = "** No IMAPpassword defined";
  else if (c.IMAPTLS == TlsMode::Invalid) {
    logger.LogLine(Side::Sending, "** Unknown IMAPTLS mode " + c.IMAPTLSTEXT);
    return false;
  }
  if (!missing) return true;
  logger.LogLine(Side::Sending, missing);
  return false;
}

bool CheckReceiving(const Configuration& c, core::Logger& logger) {
  if (!c.IMAPSERVER.empty()) return CheckImap(c, logger);
  const char* missing = nullptr;
  const bool password_elsewhere = !c.POPPASSWORDCOMMAND.empty() || !c.POPTOKENCOMMAND.empty();
  if (c.POPSERVER.empty())
    missing = "** No POPserver defined";
  else if (c.POPUSERNAME.empty())
    missing = "** No POPusername defined";
  else if (c.POPPASSWORD.empty() && !password_elsewhere)
    missing = "** No POPpassword defined";
  if (!missing && c.POPTLS == TlsMode::Invalid) {
    logger.LogLine(Side::Sending, "** Unknown POPTLS mode " + c.POPTLSTEXT);
    return false;
  }
  if (!missing) return true;
  logger.LogLine(Side::Sending, missing);
  return false;
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
    ReadError(logger, path, errno);
    return false;
  }
  std::string line;
  while (reader.Next(line)) {
    TakeConfigurationLine(side, std::move(line), c);
  }
  if (reader.failed()) {
    ReadError(logger, path, errno);
    return false;
  }
  logger.SetSizeLimit(c.LOGSIZE);
  WarnOfReadablePassword(logger, path, c);
  const bool remarks_allow = TakeRemarks(c, logger);

  if (side == Side::Sending) return CheckSending(c, logger) && remarks_allow;
  const std::string filter_file = platform::HomeFile(platform::ProgramBaseName() + ".FLT");
  LoadFilterFile(filter_file, c.Filters);
  for (const std::string& keyword : c.Filters.Unknown) {
    logger.LogLine(Side::Sending, "** Unknown filter keyword " + keyword + " in " +
                                      platform::ResolveName(filter_file));
  }
  return CheckReceiving(c, logger) && remarks_allow;
}

}  // namespace kestrel::config
