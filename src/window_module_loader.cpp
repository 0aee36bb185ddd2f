// SPDX-License-Identifier: GPL-2.0-or-later
#include "window_module_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

namespace kestrel {

namespace {

namespace fs = std::filesystem;

// None when the executable's own path cannot be read: a module is never
// looked for relative to the working directory.
std::vector<fs::path> Candidates() {
  std::error_code error;
  const fs::path program = fs::read_symlink("/proc/self/exe", error);
  if (error) return {};
  const fs::path directory = program.parent_path();
  return {directory / KESTREL_WINDOW_MODULE_DIR / gui::kWindowModuleFile,
          directory / gui::kWindowModuleFile};
}

}  // namespace

WindowModule OpenWindowModule() {
  const std::vector<fs::path> candidates = Candidates();
  for (const fs::path& path : candidates) {
    if (access(path.c_str(), F_OK) != 0) continue;
    // Bound at once: a module that does not fit the program fails here, with
    // dlerror's reason, rather than half-way through a run.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) return {nullptr, dlerror()};
    void* entry = dlsym(module, gui::kWindowEntryName);
    if (!entry) return {nullptr, dlerror()};
    return {reinterpret_cast<gui::WindowEntry*>(entry), {}};
  }
  if (candidates.empty()) return {nullptr, "the program's own path cannot be read"};
  return {nullptr, candidates.front().lexically_normal().string() + " is missing"};
}

}  // namespace kestrel
