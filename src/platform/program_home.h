// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Where the program's own files live: $KESTREL_HOME when set (relative to the
// working directory when relative); else, for a program installed in a system
// directory (under /usr, /bin or /sbin, or one the user cannot write), the
// user's $XDG_CONFIG_HOME/kestrel or ~/.config/kestrel, created on first use,
// or for a user without a home (a system user such as the mailer's)
// /var/lib/kestrel; else the directory of the executable. Relative names of
// the configuration and of the mailer's files are taken from here; the
// working directory is never changed.

#include <string>
#include <string_view>

namespace kestrel::platform {

// The home of a user without one of their own: the directory the package
// makes and the systemd unit's state directory, so that cron and the timer
// find the same files.
inline constexpr std::string_view kSystemUserHome = "/var/lib/kestrel";

// Records argv[0] at start-up (used when /proc/self/exe cannot be read).
void SetProgramPath(const std::string& argv0);

// The home directory, without a trailing separator.
[[nodiscard]] std::string ProgramHome();

// The program file's name without directory and extension, upper-cased
// ("KESTREL"); the INI, FLT and POS files are named after it.
[[nodiscard]] std::string ProgramBaseName();

// ProgramHome() + "/" + name.
[[nodiscard]] std::string HomeFile(const std::string& name);

// The name as it is when absolute, else HomeFile(name).
[[nodiscard]] std::string InHome(std::string_view name);

// A file being written is hidden under a name ending in this suffix until it
// is whole; a run finding one left by a crash removes it.
inline constexpr std::string_view kPartialSuffix = ".kestrel-partial";

// The home's own files, in any letter case: the INI, FLT, POS, JNL, SNT, RUN,
// LNK, SIZ and LGN files and the SPL directory named after the program,
// HEADER.TXT, the logs, HIGHEST.DAT, the OAuth token files, saved
// texts ("00000042.TXT") and anything ending in kPartialSuffix. A file from
// outside must never be written under such a name.
[[nodiscard]] bool IsProgramFileName(std::string_view name);

// "00000042.TXT" in any letter case: the name of a saved text.
[[nodiscard]] bool IsSavedTextName(std::string_view name);

// `directory` (with or without a trailing separator) is the home itself.
[[nodiscard]] bool IsProgramHome(std::string_view directory);

}  // namespace kestrel::platform
