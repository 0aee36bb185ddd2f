// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Directory search with "*" and "?" patterns through Windows-like names.

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::platform {

struct FoundFile {
  std::string name;  // the real name on disk
  std::string path;  // the real full path
  std::uint64_t size = 0;
  std::time_t modified = 0;
  bool is_directory = false;
  bool hidden = false;  // a name beginning with "."
};

enum class SearchOutcome { Found, NoMatch, NoDirectory };

struct SearchResult {
  SearchOutcome outcome = SearchOutcome::NoMatch;
  std::vector<FoundFile> files;  // sorted by name, byte order
};

// Searches "DIRECTORY\PATTERN" (a bare pattern: the program's home): the
// directory is resolved case-insensitively, the pattern is matched
// case-insensitively against every entry but "." and "..".
[[nodiscard]] SearchResult FindFiles(std::string_view directory_and_pattern);

// The one file a name without wildcards stands for, looked up as written
// before any other letter case (ResolveName): Found with it, NoMatch when it
// does not exist, NoDirectory when its directory does not either.
[[nodiscard]] SearchResult FindNamedFile(std::string_view name);

}  // namespace kestrel::platform
