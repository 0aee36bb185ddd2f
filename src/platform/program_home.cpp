// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/program_home.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "platform/file_names.h"

namespace kestrel::platform {

namespace {

std::mutex path_mutex;
std::string program_path;

std::string ExecutablePath() {
  char buffer[4096];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length > 0) return std::string(buffer, static_cast<std::size_t>(length));
  std::lock_guard guard(path_mutex);
  return program_path.empty() ? std::string() : MakeAbsoluteName(program_path);
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace

void SetProgramPath(const std::string& argv0) {
  std::lock_guard guard(path_mutex);
  program_path = argv0;
}

std::string ProgramHome() {
  if (const char* home = std::getenv("KESTREL_HOME"); home && *home) {
    std::string dir = MakeAbsoluteName(home);
    while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
    return dir;
  }
  const std::string exe = ExecutablePath();
  const std::size_t cut = exe.find_last_of('/');
  if (cut == std::string::npos) return MakeAbsoluteName(".");
  return cut == 0 ? "/" : exe.substr(0, cut);
}

std::string ProgramBaseName() {
  std::string name;
  {
    std::lock_guard guard(path_mutex);
    name = program_path;
  }
  if (name.empty()) name = ExecutablePath();
  name = BaseName(name);
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  if (name.empty()) name = "KESTREL";
  return Upper(name);
}

std::string HomeFile(const std::string& name) {
  const std::string home = ProgramHome();
  return home == "/" ? "/" + name : home + "/" + name;
}

std::string InHome(std::string_view name) {
  if (IsAbsoluteName(name)) return std::string(name);
  return HomeFile(std::string(name));
}

}  // namespace kestrel::platform
