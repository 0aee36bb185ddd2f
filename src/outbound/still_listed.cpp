// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/still_listed.h"

#include <algorithm>
#include <memory>

#include "config/text_lines.h"
#include "mime/ascii_text.h"
#include "outbound/list_file.h"
#include "outbound/scan_context.h"
#include "outbound/send_list.h"
#include "platform/file_names.h"

namespace kestrel::outbound {

namespace {

void AddFlowFiles(const std::string& directory, std::vector<std::string>& lists) {
  for (const platform::FoundFile& found : FindRegularFiles(directory + "/*.?LO").files)
    lists.push_back(found.path);
}

// The flow files of an outbound directory and of the point directories below it.
void AddOutbound(const std::string& directory, std::vector<std::string>& lists) {
  AddFlowFiles(directory, lists);
  for (const platform::FoundFile& point : platform::FindFiles(directory + "/*.PNT").files) {
    if (point.is_directory) AddFlowFiles(point.path, lists);
  }
}

std::vector<std::string> MailerLists(const config::Configuration& configuration) {
  std::vector<std::string> lists;
  if (!configuration.OUTBOUND.empty()) {
    const std::string outbound = platform::ResolveName(configuration.OUTBOUND);
    AddOutbound(outbound, lists);
    // The other zones' outbounds lie beside it ("outbound.001").
    for (const platform::FoundFile& zone : platform::FindFiles(outbound + ".*").files) {
      if (zone.is_directory) AddOutbound(zone.path, lists);
    }
  }
  if (!configuration.VFIDO.empty()) {
    for (const platform::FoundFile& found : FindRegularFiles(configuration.VFIDO + "*.LST").files)
      lists.push_back(found.path);
  }
  return lists;
}

std::string FoldedBase(std::string_view name) {
  return mime::UpperCase(platform::BaseName(name));
}

}  // namespace

ListedNames::ListedNames(const config::Configuration& configuration) {
  for (const std::string& list : MailerLists(configuration)) {
    const std::size_t max_line = MaxLineOf(list);
    config::TextLineReader reader(list, max_line);
    std::string line;
    while (reader.Next(line)) {
      const std::optional<ListLine> listed = ParseListLine(line.substr(0, max_line));
      if (!listed) continue;
      std::string name = RemappedName(configuration, listed->name, max_line);
      // A name with wildcards stands for more than one file: it holds none.
      if (HasWildcards(name)) continue;
      by_base_[FoldedBase(name)].push_back({list, std::move(name)});
    }
  }
}

std::string ListedNames::ListNaming(const std::string& real_path) const {
  const auto found = by_base_.find(FoldedBase(real_path));
  if (found == by_base_.end()) return {};
  for (const Line& line : found->second) {
    if (platform::ResolveName(line.name) == real_path) return line.list;
  }
  return {};
}

void ListedNames::Forget(const std::string& list_path, const std::string& real_path) {
  const auto found = by_base_.find(FoldedBase(real_path));
  if (found == by_base_.end()) return;
  std::vector<Line>& lines = found->second;
  lines.erase(std::remove_if(lines.begin(), lines.end(),
                             [&](const Line& line) {
                               return line.list == list_path &&
                                      platform::ResolveName(line.name) == real_path;
                             }),
              lines.end());
}

ListedNames& ListedNamesOf(SendList& list, const config::Configuration& configuration) {
  if (!list.Listed) list.Listed = std::make_shared<ListedNames>(configuration);
  return *list.Listed;
}

}  // namespace kestrel::outbound
