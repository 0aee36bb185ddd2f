// SPDX-License-Identifier: GPL-2.0-or-later
#include "outbound/scan_directories.h"

#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "mime/ascii_text.h"
#include "platform/file_names.h"
#include "platform/program_home.h"

namespace kestrel::outbound {

namespace {

// A directory and a pattern, as FindFiles splits them.
std::pair<std::string, std::string> Split(std::string_view directory_and_pattern) {
  const std::size_t cut = directory_and_pattern.find_last_of("/\\");
  if (cut == std::string_view::npos)
    return {platform::ProgramHome(), std::string(directory_and_pattern)};
  if (cut == 0) return {"/", std::string(directory_and_pattern.substr(1))};
  return {std::string(directory_and_pattern.substr(0, cut)),
          std::string(directory_and_pattern.substr(cut + 1))};
}

std::string Stem(std::string_view name) {
  return mime::UpperCase(name.substr(0, name.find('.')));
}

}  // namespace

ScanDirectories::Directory& ScanDirectories::Read(std::string_view directory) {
  const std::string key(directory);
  const auto known = directories_.find(key);
  if (known != directories_.end()) return known->second;
  Directory& read = directories_[key];
  read.real = platform::ResolveName(directory);
  read.view = std::make_unique<platform::DirectoryView>(read.real);
  for (std::string& name : read.view->Names()) {
    if (name.find('.') != std::string::npos) read.by_stem[Stem(name)].push_back(std::move(name));
  }
  return read;
}

FileMatches ScanDirectories::Described(const Directory& directory,
                                       const std::vector<std::string>& names) {
  FileMatches matches;
  if (!directory.view->readable()) {
    matches.outcome = platform::SearchOutcome::NoDirectory;
    return matches;
  }
  const std::string prefix = directory.real == "/" ? "/" : directory.real + "/";
  for (const std::string& name : names) {
    struct stat info {};
    const std::string path = prefix + name;
    // Pipes and devices are no mail, and opening a pipe would wait for a writer.
    if (name.front() == '.' || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    platform::FoundFile found;
    found.name = name;
    found.path = path;
    found.size = static_cast<std::uint64_t>(info.st_size);
    found.modified = info.st_mtime;
    matches.files.push_back(std::move(found));
  }
  std::sort(
      matches.files.begin(), matches.files.end(),
      [](const platform::FoundFile& a, const platform::FoundFile& b) { return a.name < b.name; });
  matches.outcome =
      matches.files.empty() ? platform::SearchOutcome::NoMatch : platform::SearchOutcome::Found;
  return matches;
}

FileMatches ScanDirectories::Matching(std::string_view directory_and_pattern) {
  const auto [directory, pattern] = Split(directory_and_pattern);
  const Directory& read = Read(directory);
  std::vector<std::string> names;
  for (const auto& [stem, named] : read.by_stem) {
    for (const std::string& name : named) {
      if (platform::WildcardMatch(pattern, name)) names.push_back(name);
    }
  }
  // Names without a dot are not kept; no pattern the scans use matches them.
  return Described(read, names);
}

FileMatches ScanDirectories::FilesOf(std::string_view base) {
  const auto [directory, stem] = Split(base);
  const Directory& read = Read(directory);
  const auto found = read.by_stem.find(mime::UpperCase(stem));
  static const std::vector<std::string> kNone;
  return Described(read, found == read.by_stem.end() ? kNone : found->second);
}

ListDirectories::ListDirectories(const SendList& list) {
  std::set<std::string> directories;
  for (int i = 1; i <= list.Count(); ++i) {
    for (const std::string* path : {&list.Entry(i).Path, &list.Entry(i).ListPath}) {
      const std::size_t cut = path->rfind('/');
      if (cut != std::string::npos && cut > 0) directories.insert(path->substr(0, cut));
    }
  }
  for (const std::string& directory : directories)
    views_.push_back(std::make_unique<platform::DirectoryView>(directory));
}

}  // namespace kestrel::outbound
