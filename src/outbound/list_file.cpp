// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/list_file.h"

#include "config/address.h"
#include "config/text_lines.h"
#include "mime/ascii_text.h"
#include "platform/file_names.h"

namespace kestrel::outbound {

std::optional<ListLine> ParseListLine(std::string_view line) {
  if (line.empty() || line.front() == '~') return std::nullopt;
  ListLine listed;
  if (line.front() == '^') listed.action = AfterSendAction::Delete;
  if (line.front() == '#') listed.action = AfterSendAction::Truncate;
  if (listed.action != AfterSendAction::Nothing) line.remove_prefix(1);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  if (line.empty()) return std::nullopt;
  listed.name = std::string(line);
  return listed;
}

std::string RemappedName(const config::Configuration& configuration, std::string_view name,
                         std::size_t max_line) {
  return config::ApplyRemap(name, configuration.RemapFrom, configuration.RemapTo, max_line);
}

std::size_t MaxLineOf(std::string_view list_path) {
  const std::string extension = mime::UpperCase(platform::BaseName(list_path));
  return extension.ends_with(".LST") ? kMaxVfidoLine : kMaxFlowLine;
}

bool LineNamesFile(const config::Configuration& configuration, std::string_view line,
                   std::size_t max_line, const std::string& real_path) {
  const std::optional<ListLine> listed = ParseListLine(line.substr(0, max_line));
  if (!listed) return false;
  const std::string name = RemappedName(configuration, listed->name, max_line);
  if (HasWildcards(name)) return false;
  // Most lines name other files: their names tell so without a look-up.
  if (mime::UpperCase(platform::BaseName(name)) != mime::UpperCase(platform::BaseName(real_path)))
    return false;
  return platform::ResolveName(name) == real_path;
}

std::optional<ListedTotals> ScanListFile(ScanContext& context, const ListFile& list) {
  config::TextLineReader reader(list.path, list.max_line);
  if (!reader.is_open()) return std::nullopt;
  const config::Configuration& configuration = context.configuration();
  ListedTotals totals;
  std::string line;
  while (reader.Next(line)) {
    const std::optional<ListLine> listed = ParseListLine(line);
    if (!listed) continue;
    std::string name = listed->name;
    if (!configuration.RemapFrom.empty()) {
      name = RemappedName(configuration, name, list.max_line);
      context.Detail("-- Remapping " + configuration.RemapFrom + " -> " + configuration.RemapTo);
    }
    if (list.redirect_line_per_line)
      context.Detail(RedirectLine(configuration.Redirects.Entry(list.redirect_index)));
    const ListedTotals added =
        AddNamedFiles(context, name, listed->action, list.path, list.redirect_index);
    totals.files += added.files;
    totals.bytes += added.bytes;
  }
  if (reader.failed()) context.Detail("-- Could not read " + mime::Printable(list.path));
  return totals;
}

ListedTotals AddNamedFiles(ScanContext& context, const std::string& name, AfterSendAction action,
                           const std::string& list_path, int redirect_index) {
  ListedTotals totals;
  const FileMatches matches = FindRegularFiles(name);
  if (matches.files.empty()) {
    context.Warn("-- Could not find " + ShownMissing(name));
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
    entry.Path = found.path;
    entry.ListPath = list_path;
    entry.RedirectIndex = redirect_index;
    entry.AfterSend = action;
    const std::string report = "--   " + mime::Printable(entry.Path) + " " +
                               std::to_string(found.size) + "b" + AfterSendSuffix(action);
    if (!context.Add(std::move(entry), found.size, /*count_once=*/true)) continue;
    context.Detail(report);
    ++totals.files;
    totals.bytes += static_cast<std::int64_t>(found.size);
  }
  return totals;
}

}  // namespace kestrel::outbound
