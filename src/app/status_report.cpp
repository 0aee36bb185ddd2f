// SPDX-License-Identifier: GPL-2.0-or-later
#include "app/status_report.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "app/exit_status.h"
#include "config/address.h"
#include "config/read_configuration.h"
#include "core/link_events.h"
#include "core/log.h"
#include "core/text_utils.h"
#include "mime/ascii_text.h"
#include "outbound/build_list.h"
#include "outbound/busy_flag.h"
#include "platform/files.h"
#include "platform/program_home.h"
#include "receive/intake/received_journal.h"
#include "receive/partial/partial_spool.h"
#include "send/sent_record.h"
#include "send/untidied_record.h"

namespace kestrel::app {
namespace {

// The home's records are bounded far below this (20,000 short lines).
constexpr std::size_t kMaxRecordBytes = 16 * 1024 * 1024;
// A process id is a few digits; more is no flag of a mailer.
constexpr std::size_t kMaxFlagBytes = 32;

constexpr std::int64_t kSecondsPerHour = 60 * 60;

// A run's list build (the window's, beside the status) holds the scans for
// moments: the status waits that out, up to 5 seconds, rather than show
// nothing waiting.
constexpr int kBuildTries = 100;
constexpr std::chrono::milliseconds kBuildPause{50};

// Keeps the problems of the configuration read, shows nothing.
class QuietFrontEnd : public core::FrontEnd {
 public:
  void AppendPaneLine(core::Side, std::string_view) override {}
  void AppendLine(core::Side, std::string_view line, core::LineKind kind) override {
    if (kind == core::LineKind::Problem) problems.emplace_back(line);
  }
  void ClearPane(core::Side) override {}
  void SetField(core::Field, std::string_view) override {}
  void SetWaitingIndicator(core::Side, bool) override {}
  [[nodiscard]] bool OnUserInterfaceThread() const override { return false; }
  void ProcessPendingWrites() override {}

  std::vector<std::string> problems;
};

// The lines of a record file, each without its "\n"; a torn end is left out.
std::vector<std::string_view> Lines(std::string_view content) {
  std::vector<std::string_view> lines;
  for (std::size_t end = content.find('\n'); end != std::string_view::npos;
       end = content.find('\n')) {
    lines.push_back(content.substr(0, end));
    content.remove_prefix(end + 1);
  }
  return lines;
}

// The newest confirmed send to each node, from the sent record as it is
// (read without its loader, which may write the record anew).
void AddLastSent(std::vector<LinkStatus>& links) {
  const std::optional<std::string> content =
      platform::ReadFilePrefix(send::SentRecord().path(), kMaxRecordBytes);
  if (!content) return;
  for (const std::string_view line : Lines(*content)) {
    const std::string seconds_word = core::WordAt(line, 1);
    const std::string node = core::WordAt(line, 3);
    const std::optional<std::int64_t> seconds = core::WholeNumberOf(seconds_word);
    if (!seconds) continue;
    for (LinkStatus& link : links) {
      if (link.address == node) link.last_sent = std::max(link.last_sent.value_or(0), *seconds);
    }
  }
}

void AddLinkEvents(std::vector<LinkStatus>& links) {
  for (const core::LinkEvent& event : core::ReadLinkEvents(core::LinkEventPath())) {
    for (LinkStatus& link : links) {
      if (link.address != event.node || event.seconds < link.last_sent.value_or(0)) continue;
      if (event.kind == core::LinkEventKind::Refused) {
        ++link.refusals;
        link.last_refusal = event.seconds;
        link.last_reply = event.text;
      } else {
        ++link.bounces;
        link.last_bounce = event.seconds;
      }
    }
  }
}

// A flag that holds the node (one left over is not judged to).
std::optional<BusyHold> HoldOf(const config::Configuration& configuration,
                               const std::string& address) {
  if (!configuration.BusyFiles || configuration.OUTBOUND.empty()) return std::nullopt;
  const std::string base =
      config::OutboundPath(address, configuration.OUTBOUND, configuration.OURZONE);
  for (const std::string& flag : outbound::PresentBusyFlags(base)) {
    const outbound::FlagJudgement judgement = outbound::JudgeBusyFlag(flag, configuration.BSYAGE);
    if (judgement.stale) continue;
    BusyHold hold;
    hold.flag = flag;
    const std::string content = platform::ReadFilePrefix(flag, kMaxFlagBytes).value_or("");
    const std::size_t start = std::min(content.find_first_not_of(" \t"), content.size());
    hold.pid =
        mime::Printable(content.substr(start, content.find_first_of(" \t\r\n", start) - start));
    if (judgement.seen) hold.since = judgement.seen->modified;
    return hold;
  }
  return std::nullopt;
}

// The files waiting for each link, the held ones too, and apart from them
// those sent but not tidied away.
bool AddWaiting(const config::Configuration& configuration, std::vector<LinkStatus>& links) {
  config::Configuration unheld = configuration;
  unheld.BusyFiles = false;
  const auto list = std::make_unique<outbound::SendList>();
  QuietFrontEnd front_end;
  core::Logger logger(front_end, platform::ProgramHome(), core::LogFiles::None);
  // Read as it is: mending a torn record is for the next send run.
  const send::UntidiedRecord untidied(send::SentRecord().path(),
                                      send::SentRecord::Rewrite::BeforeNextEntry);
  outbound::BuildOutcome outcome = outbound::BuildOutcome::AlreadyBuilding;
  for (int tries = 0; tries < kBuildTries && outcome == outbound::BuildOutcome::AlreadyBuilding;
       ++tries) {
    if (tries > 0) std::this_thread::sleep_for(kBuildPause);
    outcome = outbound::BuildList(unheld, *list, logger, outbound::Report::Full, &untidied).outcome;
  }
  if (outcome == outbound::BuildOutcome::AddressError) return false;
  for (int i = 1; i <= list->Count(); ++i) {
    const outbound::SendEntry& entry = list->Entry(i);
    if (entry.RedirectIndex < 1 || entry.RedirectIndex > static_cast<int>(links.size())) continue;
    LinkStatus& link = links[entry.RedirectIndex - 1];
    if (entry.Untidied) {
      ++link.untidied;
      continue;
    }
    ++link.files;
    link.bytes += static_cast<std::int64_t>(platform::FileSize(entry.Path).value_or(0));
    if (const auto stamp = platform::StampOf(entry.Path)) {
      link.oldest_file =
          std::min<std::int64_t>(link.oldest_file.value_or(stamp->modified), stamp->modified);
    }
  }
  return true;
}

ReceivingStatus GatherReceiving(const config::Configuration& configuration) {
  ReceivingStatus receiving;
  const std::string journal = receive::ReceivedJournal().path();
  receiving.journal_bytes = platform::FileSize(journal).value_or(0);
  if (const auto content = platform::ReadFilePrefix(journal, kMaxRecordBytes)) {
    for (const std::string_view line : Lines(*content)) {
      const auto seconds = core::WholeNumberOf(core::WordAt(line, 1));
      if (!seconds) continue;
      ++receiving.journal_entries;
      receiving.last_take = std::max(receiving.last_take.value_or(0), *seconds);
    }
  }
  const receive::PartialSpool spool(receive::SpoolLimitsOf(configuration));
  for (const receive::PartialSet& set : spool.Sets()) {
    ++receiving.piece_sets;
    receiving.oldest_piece_set =
        std::min<std::int64_t>(receiving.oldest_piece_set.value_or(set.since), set.since);
  }
  return receiving;
}

std::string Hours(std::int64_t seconds) {
  return std::to_string(seconds / kSecondsPerHour) + " hours";
}

void JudgeStaleness(StatusReport& report) {
  const std::int64_t stale = static_cast<std::int64_t>(report.stale_hours) * kSecondsPerHour;
  for (const LinkStatus& link : report.links) {
    if (link.oldest_file && report.now - *link.oldest_file > stale) {
      report.problems.push_back(link.address + ": files wait for " +
                                Hours(report.now - *link.oldest_file));
    }
    if (link.busy && report.now - link.busy->since > stale) {
      report.problems.push_back(link.address + ": held by a busy flag for " +
                                Hours(report.now - link.busy->since));
    }
  }
  if (report.receiving.oldest_piece_set &&
      report.now - *report.receiving.oldest_piece_set > stale) {
    report.problems.push_back("split messages wait for pieces for " +
                              Hours(report.now - *report.receiving.oldest_piece_set));
  }
  if (report.send_run && report.send_run->exit_status != kExitSuccess) {
    report.problems.push_back("the last send run ended with exit status " +
                              std::to_string(report.send_run->exit_status));
  }
  if (report.receive_run && report.receive_run->exit_status != kExitSuccess) {
    report.problems.push_back("the last receive run ended with exit status " +
                              std::to_string(report.receive_run->exit_status));
  }
}

StatusReport Unusable(StatusReport report, const std::string& why) {
  report.configuration_lines.push_back(why);
  report.exit_status = kExitUsage;
  return report;
}

}  // namespace

StatusReport GatherStatus(const std::string& config_file, std::int64_t now) {
  StatusReport report;
  report.now = now;
  QuietFrontEnd front_end;
  core::Logger logger(front_end, platform::ProgramHome(), core::LogFiles::None);
  config::Configuration sending;
  config::Configuration receiving;
  try {
    report.sending_configured =
        config::ReadConfiguration(core::Side::Sending, config_file, sending, logger);
    report.receiving_configured =
        config::ReadConfiguration(core::Side::Receiving, config_file, receiving, logger);
  } catch (const config::ConversionError& error) {
    front_end.problems.emplace_back(error.what());
    report.sending_configured = false;
    report.receiving_configured = false;
  }
  if (!report.sending_configured && !report.receiving_configured) {
    report.configuration_lines = front_end.problems;
    return Unusable(std::move(report), "neither side's configuration can be used");
  }
  const config::Configuration& common = report.sending_configured ? sending : receiving;
  report.stale_hours = common.STALEHOURS;
  if (report.sending_configured) {
    for (int i = 1; i <= sending.Redirects.RedirectCount(); ++i) {
      const config::RedirectEntry& entry = sending.Redirects.Entry(i);
      LinkStatus link;
      link.address = entry.Address;
      link.email = entry.EmailAddress;
      link.name = entry.Name;
      report.links.push_back(std::move(link));
    }
    try {
      for (LinkStatus& link : report.links) link.busy = HoldOf(sending, link.address);
    } catch (const config::ConversionError& error) {
      return Unusable(std::move(report), error.what());
    }
    if (!AddWaiting(sending, report.links)) {
      return Unusable(std::move(report), "a redirect address has no outbound path");
    }
    AddLastSent(report.links);
    AddLinkEvents(report.links);
  }
  report.receiving = GatherReceiving(report.receiving_configured ? receiving : sending);
  report.send_run = core::ReadRunEnd(core::RunRecordPath(), core::Side::Sending);
  report.receive_run = core::ReadRunEnd(core::RunRecordPath(), core::Side::Receiving);
  report.receiving.left_by_filters = core::ReadLeftByFilters(core::RunRecordPath());
  JudgeStaleness(report);
  report.exit_status = report.problems.empty() ? kExitSuccess : kExitFailure;
  return report;
}

}  // namespace kestrel::app
