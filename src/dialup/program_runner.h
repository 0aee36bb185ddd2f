// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Runs a program found on PATH with fixed arguments (no shell) and collects
// its standard output, within a time limit.

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace kestrel::dialup {

struct ProgramResult {
  bool started = false;
  bool timed_out = false;  // or cancelled; the program was ended
  int exit_code = -1;      // -1 when it did not exit normally
  std::string output;      // standard output, capped
};

// `cancel`, when given, ends the program early once it becomes true.
[[nodiscard]] ProgramResult RunProgram(const std::vector<std::string>& arguments,
                                       std::chrono::milliseconds limit,
                                       const std::atomic<bool>* cancel = nullptr);

}  // namespace kestrel::dialup
