#pragma once
// Where the program's own files live: $KESTREL_HOME when set, else the
// directory of the executable.

#include <string>

namespace kestrel::platform {

// Records argv[0] at start-up (used when /proc/self/exe cannot be read).
void SetProgramPath(const std::string& argv0);

// The home directory, without a trailing separator.
[[nodiscard]] std::string ProgramHome();

// The program file's name without directory and extension, upper-cased
// ("KESTREL"); the INI, FLT and POS files are named after it.
[[nodiscard]] std::string ProgramBaseName();

// ProgramHome() + "/" + name.
[[nodiscard]] std::string HomeFile(const std::string& name);

}  // namespace kestrel::platform
