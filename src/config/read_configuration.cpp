#include "config/read_configuration.h"

#include <mutex>

#include "config/configuration_line.h"
#include "config/text_lines.h"
#include "core/serving_lock.h"
#include "core/text_utils.h"
#include "platform/program_home.h"

namespace kestrel::config {

namespace {

using core::Side;

// Held for one read.
std::timed_mutex read_lock;

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

bool CheckReceiving(const Configuration& c, core::Logger& logger) {
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

  TextLineReader reader(platform::InHome(config_file_name));
  if (!reader.is_open()) {
    logger.LogLine(Side::Sending, "-- Error reading configuration " + config_file_name);
    return false;
  }
  std::string line;
  while (reader.Next(line)) {
    TakeConfigurationLine(side, std::move(line), c);
  }
  if (reader.failed()) {
    logger.LogLine(Side::Sending, "-- Error reading configuration " + config_file_name);
    return false;
  }
  logger.SetSizeLimit(c.LOGSIZE);

  if (side == Side::Sending) return CheckSending(c, logger);
  LoadFilterFile(platform::HomeFile(platform::ProgramBaseName() + ".FLT"), c.Filters);
  return CheckReceiving(c, logger);
}

}  // namespace kestrel::config
