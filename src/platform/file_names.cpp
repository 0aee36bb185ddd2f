// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/file_names.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/directory_view.h"
#include "platform/program_home.h"

namespace kestrel::platform {

namespace {

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The real name of `component` in `directory`: exact when it exists, else the
// first case variant in byte order; empty when there is none.
std::string FindComponent(const std::string& directory, const std::string& component) {
  const std::string exact = directory == "/" ? "/" + component : directory + "/" + component;
  if (Exists(exact)) return component;
  if (std::optional<std::string> viewed = internal::LookUpInView(directory, component)) {
    return *viewed;
  }
  std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
  if (!dir) return {};
  std::string best;
  while (dirent* entry = readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (!SameIgnoringCase(name, component)) continue;
    if (best.empty() || name < best) best = name;
  }
  return best;
}

std::string CurrentDirectory() {
  std::string buffer(4096, '\0');
  if (!getcwd(buffer.data(), buffer.size())) return "/";
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer;
}

}  // namespace

std::vector<std::string> SplitName(std::string_view name) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : name) {
    if (IsSeparator(c)) {
      if (!current.empty()) parts.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts.push_back(std::move(current));
  return parts;
}

bool IsAbsoluteName(std::string_view name) {
  return !name.empty() && IsSeparator(name[0]);
}

std::string MakeAbsoluteName(std::string_view name) {
  if (IsAbsoluteName(name)) return std::string(name);
  std::string cwd = CurrentDirectory();
  if (cwd != "/") cwd += '/';
  return cwd + std::string(name);
}

std::string ResolveName(std::string_view name) {
  std::string resolved = "/";
  bool still_existing = true;
  for (const std::string& component : SplitName(InHome(name))) {
    std::string real = component;
    if (still_existing && component != "." && component != "..") {
      real = FindComponent(resolved, component);
      if (real.empty()) {
        real = component;
        still_existing = false;
      }
    }
    if (resolved.back() != '/') resolved += '/';
    resolved += real;
  }
  return resolved;
}

std::string BaseName(std::string_view name) {
  const std::size_t cut = name.find_last_of("/\\");
  return std::string(cut == std::string_view::npos ? name : name.substr(cut + 1));
}

std::string WithExtension(std::string_view name, std::string_view extension) {
  const std::size_t separator = name.find_last_of("/\\");
  const std::size_t dot = name.rfind('.');
  const bool has_dot =
      dot != std::string_view::npos && (separator == std::string_view::npos || dot > separator);
  return std::string(has_dot ? name.substr(0, dot) : name) + "." + std::string(extension);
}

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  // Iterative match with one backtracking point for the last "*".
  std::size_t p = 0, n = 0, star = std::string_view::npos, star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() &&
        (pattern[p] == '?' || std::toupper(static_cast<unsigned char>(pattern[p])) ==
                                  std::toupper(static_cast<unsigned char>(name[n])))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_n = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace kestrel::platform
