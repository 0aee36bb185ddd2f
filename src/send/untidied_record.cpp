// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/untidied_record.h"

#include <algorithm>
#include <ctime>
#include <utility>

#include "outbound/node_lock.h"
#include "outbound/record_sent.h"
#include "platform/files.h"
#include "send/file_message.h"

namespace kestrel::send {

UntidiedRecord::UntidiedRecord() {
  std::string error;
  (void)record_.Load(std::time(nullptr), error);
}

UntidiedRecord::UntidiedRecord(std::string path, SentRecord::Rewrite rewrite)
    : record_(std::move(path)) {
  std::string error;
  (void)record_.Load(std::time(nullptr), error, rewrite);
}

std::optional<std::int64_t> UntidiedRecord::ConfirmedAt(const std::string& node,
                                                        const std::string& real_path) const {
  const SentRecord::Untidied* untidied = record_.FindUntidied(node, real_path);
  if (!untidied) return std::nullopt;
  const std::optional<platform::FileIdentity> file = platform::IdentifyFile(real_path);
  if (!file || file->size != untidied->size || file->modified_ns != untidied->modified_ns)
    return std::nullopt;
  return untidied->seconds;
}

void UntidiedRecord::TidyAgain(outbound::SendList& list, const config::Configuration& configuration,
                               core::Logger& logger) {
  const auto log = [&logger](const std::string& line) {
    logger.LogLine(core::Side::Sending, line);
  };
  for (int i = 1; i <= list.Count(); ++i) {
    outbound::SendEntry& entry = list.Entry(i);
    if (!entry.Untidied || entry.State != outbound::SendState::Skipped) continue;
    outbound::NodeLock lock;
    if (configuration.BusyFiles && !lock.Take(list, i, configuration.BSYAGE, log)) continue;
    const std::string node = RedirectOf(configuration, entry).Address;
    log("-- Tidying " + entry.Path + " (sent to " + node + " before)");
    entry.State = outbound::SendState::Taken;
    const outbound::RecordResult result = outbound::RecordSent(list, i, logger, configuration);
    if (result.not_tidied) list.Problems = true;
    if (std::find(result.untidied.begin(), result.untidied.end(), i) != result.untidied.end())
      continue;
    std::string error;
    if (!record_.RecordTidied(node, entry.Path, std::time(nullptr), error)) {
      logger.LogLine(core::Side::Sending,
                     "-- Could not write " + record_.path() + " (" + error + ")",
                     core::LineKind::Problem);
      list.Problems = true;
    }
  }
}

}  // namespace kestrel::send
