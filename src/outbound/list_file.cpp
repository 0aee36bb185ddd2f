// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/list_file.h"

#include "config/address.h"
#include "config/text_lines.h"
#include "core/text_utils.h"

namespace kestrel::outbound {

std::optional<ListedTotals> ScanListFile(ScanContext& context, const ListFile& list) {
  config::TextLineReader reader(list.path, list.max_line);
  if (!reader.is_open()) return std::nullopt;
  const config::Configuration& configuration = context.configuration();
  ListedTotals totals;
  std::string line;
  while (reader.Next(line)) {
    if (line.empty()) continue;
    line = core::UpperCase(line);
    const AfterSendAction action = TakeLinePrefix(line);
    if (!configuration.RemapFrom.empty()) {
      line =
          config::ApplyRemap(line, configuration.RemapFrom, configuration.RemapTo, list.max_line);
      context.Detail("-- Remapping " + configuration.RemapFrom + " -> " + configuration.RemapTo);
    }
    if (list.redirect_line_per_line)
      context.Detail(RedirectLine(configuration.Redirects.Entry(list.redirect_index)));
    const ListedTotals added = AddNamedFiles(context, line, action, list.path, list.redirect_index);
    totals.files += added.files;
    totals.bytes += added.bytes;
  }
  if (reader.failed()) context.Detail("-- Could not read " + Printable(list.path));
  return totals;
}

ListedTotals AddNamedFiles(ScanContext& context, const std::string& name, AfterSendAction action,
                           const std::string& list_path, int redirect_index) {
  ListedTotals totals;
  const FileMatches matches = FindRegularFiles(name);
  if (matches.files.empty()) {
    context.Detail("-- Could not find " + Printable(name));
    return totals;
  }
  const bool wildcards = HasWildcards(name);
  for (const platform::FoundFile& found : matches.files) {
    // A zero-length file is not worth a mail; with wildcards the others still are.
    if (found.size == 0) {
      if (wildcards) continue;
      break;
    }
    SendEntry entry;
    entry.Kind = SendKind::ListedFile;
    entry.Path = EntryPath(name, found);
    entry.ListPath = list_path;
    entry.RedirectIndex = redirect_index;
    entry.AfterSend = action;
    const std::string report =
        "--   " + entry.Path + " " + std::to_string(found.size) + "b" + AfterSendSuffix(action);
    if (!context.Add(std::move(entry), found.size, /*count_once=*/true)) break;
    context.Detail(report);
    ++totals.files;
    totals.bytes += static_cast<std::int64_t>(found.size);
    if (!wildcards) break;  // case variants of one name: the first is the one opened
  }
  return totals;
}

}  // namespace kestrel::outbound
