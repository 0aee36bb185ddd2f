// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/build_list.h"

#include <string>

#include "config/address.h"
#include "outbound/netmail_scan.h"
#include "outbound/outbound_scan.h"
#include "outbound/scan_context.h"
#include "outbound/vfido_scan.h"

namespace kestrel::outbound {

std::atomic<bool> ListBuilding{false};

namespace {

// Holds ListBuilding for one build; test and set are one step, so two
// threads cannot both start building.
class BuildingFlag {
 public:
  BuildingFlag() {
    bool expected = false;
    held_ = ListBuilding.compare_exchange_strong(expected, true);
  }
  ~BuildingFlag() {
    if (held_) ListBuilding.store(false);
  }
  BuildingFlag(const BuildingFlag&) = delete;
  BuildingFlag& operator=(const BuildingFlag&) = delete;
  [[nodiscard]] bool held() const { return held_; }

 private:
  bool held_ = false;
};

BuildOutcome Summarise(ScanContext& context, const config::Configuration& configuration) {
  const std::int64_t gross = context.gross_bytes();
  const std::int64_t total = context.total_bytes();
  const int count = context.list().Count() - context.untidied();
  context.Log("-- " + std::to_string(configuration.Redirects.RedirectCount()) +
              " systems redirected.");
  if (const int ignored = configuration.Redirects.IgnoredCount(); ignored > 0) {
    context.Problem("-- " + std::to_string(ignored) +
                    " REDIRECT line(s) ignored: the table holds " +
                    std::to_string(config::kMaxRedirects));
  }
  if (context.left_out() > 0) {
    context.Problem("-- " + std::to_string(context.left_out()) + " file(s), " +
                    std::to_string(context.left_out_bytes()) +
                    " bytes, left for a later run: the send list holds " +
                    std::to_string(kMaxSendEntries));
  }
  context.Log("-- " + std::to_string(count) + " file(s) to be sent " + std::to_string(gross) +
              " bytes.");
  if (gross <= 0) return BuildOutcome::NothingToSend;

  if (total < gross) {
    const std::int64_t percent = 100 - (total * 100) / gross;
    context.Log("-- Multiple files found, total savings " + std::to_string(gross - total) +
                " bytes (" + std::to_string(percent) + "%)");
    context.Log("-- " + std::to_string(total) + " bytes to be transferred");
  } else {
    context.Log("-- No files to multiple addresses");
  }

  if (count < configuration.MINIMUMFILES) {
    context.Log("-- To few files to send, minimum " + std::to_string(configuration.MINIMUMFILES) +
                " files before sending");
    return BuildOutcome::NothingToSend;
  }
  if (configuration.MINIMUMBYTES > total) {
    context.Log("-- To few bytes to send, minimum " + std::to_string(configuration.MINIMUMBYTES) +
                " bytes before sending");
    return BuildOutcome::NothingToSend;
  }
  return BuildOutcome::Send;
}

}  // namespace

BuildResult BuildList(const config::Configuration& configuration, SendList& list,
                      core::Logger& logger, Report report, const UntidiedFiles* untidied) {
  BuildResult result;
  const BuildingFlag flag;
  if (!flag.held()) {
    result.outcome = BuildOutcome::AlreadyBuilding;
    return result;
  }
  list.Clear();
  ScanContext context(configuration, list, logger, report, untidied);
  try {
    ScanOutbound(context);
    ScanNetmail(context);
    ScanVfido(context);
  } catch (const config::ConversionError&) {
    list.Clear();
    result.outcome = BuildOutcome::AddressError;
    return result;
  }
  result.outcome = Summarise(context, configuration);
  result.gross_bytes = context.gross_bytes();
  return result;
}

}  // namespace kestrel::outbound
