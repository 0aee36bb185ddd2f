// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/directory_view.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/file_names.h"

namespace kestrel::platform {
namespace {

std::string Folded(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return folded;
}

// Of several case variants the first in byte order counts, as without a view.
using NameMap = std::unordered_map<std::string, std::string>;  // folded -> real

void Add(NameMap& names, std::string_view name) {
  auto [entry, added] = names.try_emplace(Folded(name), name);
  if (!added && name < entry->second) entry->second = name;
}

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::pair<int, NameMap>> views;  // by real directory; users, names
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

std::string RealDirectory(std::string_view directory) {
  std::string real = ResolveName(directory);
  while (real.size() > 1 && real.back() == '/') real.pop_back();
  return real;
}

NameMap ReadNames(const std::string& directory, bool& readable_r) {
  NameMap names;
  DIR* dir = opendir(directory.c_str());
  readable_r = dir != nullptr;
  if (!dir) return names;
  while (dirent* entry = readdir(dir)) Add(names, entry->d_name);
  closedir(dir);
  return names;
}

}  // namespace

DirectoryView::DirectoryView(std::string_view directory) : key_(RealDirectory(directory)) {
  NameMap names = ReadNames(key_, readable_);
  Registry& registry = TheRegistry();
  const std::lock_guard lock(registry.mutex);
  auto [entry, added] = registry.views.try_emplace(key_, 0, std::move(names));
  ++entry->second.first;
}

DirectoryView::~DirectoryView() {
  Registry& registry = TheRegistry();
  const std::lock_guard lock(registry.mutex);
  const auto entry = registry.views.find(key_);
  if (entry != registry.views.end() && --entry->second.first == 0) registry.views.erase(entry);
}

std::vector<std::string> DirectoryView::Names() const {
  std::vector<std::string> real;
  Registry& registry = TheRegistry();
  const std::lock_guard lock(registry.mutex);
  const auto entry = registry.views.find(key_);
  if (entry == registry.views.end()) return real;
  real.reserve(entry->second.second.size());
  for (const auto& [folded, name] : entry->second.second) {
    if (name != "." && name != "..") real.push_back(name);
  }
  return real;
}

void NoteName(std::string_view path) {
  const std::string real = ResolveName(path);
  const std::size_t slash = real.rfind('/');
  if (slash == std::string::npos) return;
  const std::string directory = slash == 0 ? "/" : real.substr(0, slash);
  Registry& registry = TheRegistry();
  const std::lock_guard lock(registry.mutex);
  const auto entry = registry.views.find(directory);
  if (entry != registry.views.end()) Add(entry->second.second, real.substr(slash + 1));
}

namespace internal {

std::optional<std::string> LookUpInView(const std::string& directory,
                                        const std::string& component) {
  std::string found;
  {
    Registry& registry = TheRegistry();
    const std::lock_guard lock(registry.mutex);
    const auto entry = registry.views.find(directory);
    if (entry == registry.views.end()) return std::nullopt;
    const NameMap& names = entry->second.second;
    const auto name = names.find(Folded(component));
    if (name == names.end()) return std::string();
    found = name->second;
  }
  // A name removed since the directory was read is no variant any more.
  struct stat info {};
  const std::string path = directory == "/" ? "/" + found : directory + "/" + found;
  return lstat(path.c_str(), &info) == 0 ? found : std::string();
}

}  // namespace internal

}  // namespace kestrel::platform
