// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/outbound_scan.h"

#include <map>
#include <set>

#include "config/address.h"
#include "mime/ascii_text.h"
#include "outbound/busy_flag.h"
#include "outbound/list_file.h"

namespace kestrel::outbound {

namespace {

// Outbound names are eight characters, a dot and a three-letter extension:
// "00EC0064.OUT". Longer names (a tosser's temporary files) are no packets.
constexpr std::size_t kOutboundNameLength = 12;
constexpr std::size_t kExtensionAt = 9;

void AddPacket(ScanContext& context, std::string path, std::uint64_t size, int index,
               ListedTotals& totals) {
  SendEntry entry;
  entry.Kind = SendKind::OutboundPacket;
  entry.Path = std::move(path);
  entry.RedirectIndex = index;
  entry.AfterSend = AfterSendAction::Delete;
  const std::string report =
      "--   " + mime::Printable(entry.Path) + " " + std::to_string(size) + "b";
  if (!context.Add(std::move(entry), size, /*count_once=*/false)) return;
  context.Detail(report);
  ++totals.files;
  totals.bytes += static_cast<std::int64_t>(size);
}

// Without OURZONE every zone is taken for a foreign one, whose outbound lies
// beside OUTBOUND ("OUTBOUND.002"), while mailers keep their own zone in
// OUTBOUND itself.
void HintAtOurZone(ScanContext& context, const std::string& address) {
  if (context.configuration().OURZONE != 0) return;
  const std::string zone = address.substr(0, address.find(':'));
  context.Log("--   Hint: OURZONE is not set; if OUTBOUND is the outbound of zone " + zone +
              ", add \"OURZONE " + zone + "\"");
}

// A node whose busy flag another program holds is left for the next run, out
// of the totals, with who holds it and since when; a hold of over an hour is a
// problem. A flag left over is reported (the send job removes it).
bool NodeHeld(ScanContext& context, const std::string& base, const std::string& address) {
  const config::Configuration& configuration = context.configuration();
  if (!configuration.BusyFiles) return false;
  for (const std::string& flag : PresentBusyFlags(base)) {
    const FlagJudgement judgement = JudgeBusyFlag(flag, configuration.BSYAGE);
    if (!judgement.stale) {
      context.Warn("--   Busy (" + mime::Printable(flag) + "), not sent this run");
      if (HeldLong(judgement)) {
        context.Problem("-- " + address + " held for over an hour: " + HolderText(judgement));
      } else {
        context.Warn("--   Holder: " + HolderText(judgement));
      }
      return true;
    }
    context.Detail("--   Stale busy flag " + mime::Printable(flag) + " (" + judgement.reason + ")");
  }
  return false;
}

void ScanAddress(ScanContext& context, int index) {
  const config::Configuration& configuration = context.configuration();
  const config::RedirectEntry& redirect = configuration.Redirects.Entry(index);
  context.Detail(RedirectLine(redirect));
  std::string base;
  try {
    base = config::OutboundPath(redirect.Address, configuration.OUTBOUND, configuration.OURZONE);
  } catch (const config::ConversionError& error) {
    context.Log("** Address " + mime::Printable(redirect.Address) +
                " has no outbound path: " + error.what());
    throw;
  }
  if (base.empty()) return;  // an address of nothing but a domain suffix

  ListedTotals totals;
  const FileMatches matches = context.directories().FilesOf(base);
  if (matches.outcome == platform::SearchOutcome::NoDirectory) {
    context.Detail("-- Outbound not available for " + redirect.Address + " (" + ShownMissing(base) +
                   ".*)");
    HintAtOurZone(context, redirect.Address);
    return;
  }
  if (NodeHeld(context, base, redirect.Address)) return;

  // Packets and flow files, each extension once: of case variants of one
  // name the first in byte order, the one a look-up of the name finds.
  // Packets go first: mail before files, and an order that does not depend on
  // how the directory lists its entries.
  std::set<std::string> packets;
  std::map<std::string, std::string> flow_files;  // upper-cased extension -> real path
  for (const platform::FoundFile& found : matches.files) {
    if (found.name.size() != kOutboundNameLength) continue;
    const std::string extension = mime::UpperCase(found.name.substr(kExtensionAt));
    const std::string kind = extension.substr(1);
    if (kind == "UT" && packets.insert(extension).second) {
      AddPacket(context, found.path, found.size, index, totals);
    } else if (kind == "LO") {
      flow_files.emplace(extension, found.path);
    }
  }
  for (const auto& [extension, path] : flow_files) {
    ListFile list;
    list.path = path;
    list.max_line = kMaxFlowLine;
    list.redirect_index = index;
    const std::optional<ListedTotals> listed = ScanListFile(context, list);
    if (!listed) {
      context.Detail("-- Could not open " + mime::Printable(list.path));
      continue;
    }
    totals.files += listed->files;
    totals.bytes += listed->bytes;
  }
  if (totals.files != 0) {
    context.Detail("--   " + std::to_string(totals.files) + " file(s) for address (" +
                   std::to_string(totals.bytes) + "b)");
  }
}

}  // namespace

void ScanOutbound(ScanContext& context) {
  const config::Configuration& configuration = context.configuration();
  if (configuration.OUTBOUND.empty()) return;
  context.Log("-- Scanning outbound....");
  for (int index = 1; index <= configuration.Redirects.RedirectCount(); ++index)
    ScanAddress(context, index);
}

}  // namespace kestrel::outbound
