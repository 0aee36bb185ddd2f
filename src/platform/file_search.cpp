// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/file_search.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "platform/file_names.h"
#include "platform/program_home.h"

namespace kestrel::platform {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

bool Describe(const std::string& path, const std::string& name, FoundFile& found) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;  // vanished or dangling link
  found.name = name;
  found.path = path;
  found.size = static_cast<std::uint64_t>(info.st_size);
  found.modified = info.st_mtime;
  found.is_directory = S_ISDIR(info.st_mode);
  found.hidden = !name.empty() && name[0] == '.';
  return true;
}

}  // namespace

SearchResult FindFiles(std::string_view directory_and_pattern) {
  const std::size_t cut = directory_and_pattern.find_last_of("/\\");
  const std::string pattern(cut == std::string_view::npos ? directory_and_pattern
                                                          : directory_and_pattern.substr(cut + 1));
  std::string directory;
  if (cut == std::string_view::npos) {
    directory = ResolveName(ProgramHome());
  } else if (cut == 0) {
    directory = "/";
  } else {
    directory = ResolveName(directory_and_pattern.substr(0, cut));
  }

  SearchResult result;
  std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
  if (!dir) {
    result.outcome = SearchOutcome::NoDirectory;
    return result;
  }
  const std::string prefix = directory == "/" ? "/" : directory + "/";
  while (dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!WildcardMatch(pattern, name)) continue;
    FoundFile found;
    if (Describe(prefix + name, name, found)) result.files.push_back(std::move(found));
  }
  std::sort(result.files.begin(), result.files.end(),
            [](const FoundFile& a, const FoundFile& b) { return a.name < b.name; });
  result.outcome = result.files.empty() ? SearchOutcome::NoMatch : SearchOutcome::Found;
  return result;
}

SearchResult FindNamedFile(std::string_view name) {
  SearchResult result;
  const std::string path = ResolveName(name);
  const std::size_t cut = path.find_last_of('/');
  FoundFile found;
  if (Describe(path, path.substr(cut + 1), found)) {
    result.outcome = SearchOutcome::Found;
    result.files.push_back(std::move(found));
    return result;
  }
  struct stat info {};
  const std::string directory = cut == 0 ? "/" : path.substr(0, cut);
  const bool directory_there = stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  result.outcome = directory_there ? SearchOutcome::NoMatch : SearchOutcome::NoDirectory;
  return result;
}

}  // namespace kestrel::platform
