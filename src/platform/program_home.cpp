// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/program_home.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
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

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The directory's real path, or the name itself when it cannot be resolved.
std::string RealDirectory(std::string_view directory) {
  std::string path(directory);
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    path = real;
    std::free(real);
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// A directory a packaged program is installed in: under /usr, /bin or /sbin,
// or one this user cannot write (so no file of the program's could go there).
bool IsSystemDirectory(const std::string& directory) {
  for (const std::string_view system : {"/usr/", "/bin/", "/sbin/"}) {
    if ((directory + "/").starts_with(system)) return true;
  }
  return ::access(directory.c_str(), W_OK) != 0;
}

// The user's own directory for the program's files: $XDG_CONFIG_HOME/kestrel,
// else ~/.config/kestrel; empty when the user has no home to speak of (none
// given, or one that does not exist, as /nonexistent of a system user).
std::string UserHome() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/')
    return std::string(config) + "/kestrel";
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    const passwd* entry = ::getpwuid(::getuid());
    home = entry ? entry->pw_dir : nullptr;
  }
  struct stat info {};
  if (!home || *home != '/' || ::stat(home, &info) != 0 || !S_ISDIR(info.st_mode)) return {};
  return std::string(home) + "/.config/kestrel";
}

// Creates the directory and its missing parents, readable by the user alone
// (the configuration holds passwords); true when it exists afterwards.
bool MakeDirectories(const std::string& path) {
  if (::access(path.c_str(), F_OK) == 0) return true;
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    (void)::mkdir(path.substr(0, slash).c_str(), 0700);
  }
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
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
  const std::string beside = cut == 0 ? "/" : exe.substr(0, cut);
  if (!IsSystemDirectory(beside)) return beside;
  const std::string user_home = UserHome();
  if (user_home.empty() || !MakeDirectories(user_home)) return std::string(kSystemUserHome);
  return user_home;
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

bool IsSavedTextName(std::string_view name) {
  constexpr std::size_t kDigits = 8;
  if (name.size() != kDigits + 4 || Upper(name.substr(kDigits)) != ".TXT") return false;
  for (std::size_t i = 0; i < kDigits; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

bool IsProgramFileName(std::string_view name) {
  const std::string upper = Upper(name);
  if (EndsWith(upper, Upper(kPartialSuffix)) || IsSavedTextName(upper)) return true;
  // The OAuth token files: a received file of that name would be read as one.
  if (upper.rfind("OAUTH-", 0) == 0 && EndsWith(upper, ".TOKEN")) return true;
  static constexpr std::array<std::string_view, 4> kFixed = {"HEADER.TXT", "SEND.LOG",
                                                             "RECEIVE.LOG", "HIGHEST.DAT"};
  for (const std::string_view fixed : kFixed) {
    if (upper == fixed) return true;
  }
  const std::string base = ProgramBaseName() + ".";
  if (upper.size() != base.size() + 3 || upper.compare(0, base.size(), base) != 0) return false;
  static constexpr std::array<std::string_view, 10> kOwnExtensions = {
      "INI", "FLT", "POS", "JNL", "SNT", "SPL", "RUN", "LNK", "SIZ", "LGN"};
  for (const std::string_view extension : kOwnExtensions) {
    if (upper.compare(base.size(), 3, extension) == 0) return true;
  }
  return false;
}

bool IsProgramHome(std::string_view directory) {
  return RealDirectory(directory) == RealDirectory(ProgramHome());
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
