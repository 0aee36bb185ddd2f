// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The directories a build scans (the outbound with its zones and points, the
// netmail and VFIDO directories), each read once for the whole build: a
// node's files are found by its name in that read, not by a search of the
// directory per node, so that the cost of a node does not grow with the
// files of all the others. While the reads live, names in these directories
// that do not exist as written are looked up in them too (DirectoryView).

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "outbound/send_list.h"
#include "platform/directory_view.h"
#include "platform/file_search.h"

namespace kestrel::outbound {

// The regular, visible files (no directories, pipes or devices) matching a
// name, sorted by name in byte order.
struct FileMatches {
  platform::SearchOutcome outcome = platform::SearchOutcome::NoMatch;
  std::vector<platform::FoundFile> files;
};

class ScanDirectories {
 public:
  // "DIRECTORY/PATTERN" with "*" and "?" (a bare pattern: the program's
  // home), matched case-insensitively, of case variants of one name the
  // first in byte order; NoDirectory when the directory cannot be read.
  [[nodiscard]] FileMatches Matching(std::string_view directory_and_pattern);
  // The files named `base` + "." + anything (a node's "00ec0064.*"), as
  // Matching gives them.
  [[nodiscard]] FileMatches FilesOf(std::string_view base);

 private:
  struct Directory {
    std::unique_ptr<platform::DirectoryView> view;
    std::string real;                                                   // its real path
    std::unordered_map<std::string, std::vector<std::string>> by_stem;  // folded stem -> names
  };
  Directory& Read(std::string_view directory);
  [[nodiscard]] static FileMatches Described(const Directory& directory,
                                             const std::vector<std::string>& names);

  std::map<std::string, Directory> directories_;  // by the directory as given
};

// The directories of a send list's files and lists, each read once while it
// lives (DirectoryView): a name looked up there in another letter case, a
// busy flag above all, costs no read of the directory. A name made meanwhile
// in a case other than the one asked for is not seen.
class ListDirectories {
 public:
  explicit ListDirectories(const SendList& list);

 private:
  std::vector<std::unique_ptr<platform::DirectoryView>> views_;
};

}  // namespace kestrel::outbound
