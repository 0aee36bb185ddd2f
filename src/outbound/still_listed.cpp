// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/still_listed.h"

#include <vector>

#include "config/text_lines.h"
#include "outbound/list_file.h"
#include "outbound/scan_context.h"
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

bool Names(const config::Configuration& configuration, const std::string& list,
           const std::string& real_path) {
  const std::size_t max_line = MaxLineOf(list);
  config::TextLineReader reader(list, max_line);
  std::string line;
  while (reader.Next(line)) {
    if (LineNamesFile(configuration, line, max_line, real_path)) return true;
  }
  return false;
}

}  // namespace

std::string ListStillNaming(const config::Configuration& configuration,
                            const std::string& real_path) {
  for (const std::string& list : MailerLists(configuration)) {
    if (Names(configuration, list, real_path)) return list;
  }
  return {};
}

}  // namespace kestrel::outbound
