// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The switches of the command line ("/AUTO", "/SEND", "/CFG:file", ...). A
// switch counts anywhere in an argument and in any letter case, but never
// inside the file name that "/CFG:" gives: "/CFG:/etc/kestrel/auto.ini" holds
// no "/AUTO".

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::app {

// Longest configuration file name the command line may give.
inline constexpr std::size_t kMaxConfigFileName = 79;
// Arguments are cut to this many characters before the switches are sought.
inline constexpr std::size_t kMaxArgument = 79;

struct CommandLine {
  bool hangup = false;
  bool shutdown = false;
  bool send = false;  // /SEND or /AUTO
  bool get = false;   // /GET or /AUTO
  bool report = false;
  bool connect = false;
  bool quiet = false;                          // /QUIET: the console prints nothing but problems
  std::optional<std::uint16_t> send_interval;  // /PUT:minutes, in seconds
  std::optional<std::uint16_t> get_interval;   // /CHECK:minutes, in seconds
  std::optional<std::string> config_file;      // /CFG:, upper-cased
};

// Reads the arguments up to the first empty one.
[[nodiscard]] CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The first argument (up to the first empty one) that holds no switch at
// all; nothing when every one does.
[[nodiscard]] std::optional<std::string> ArgumentWithoutSwitch(
    const std::vector<std::string>& arguments);

}  // namespace kestrel::app
