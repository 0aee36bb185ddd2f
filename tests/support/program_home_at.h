// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Runs a test with another program home: names written relative to it are
// found there ("C:\\FILES\\A.ZIP" is the relative directory "c:"), and the
// program's own files (the journal of received mail among them) go there.

#include <stdlib.h>

#include <string>

namespace kestrel::testing {

class ProgramHomeAt {
 public:
  explicit ProgramHomeAt(const std::string& path) { setenv("KESTREL_HOME", path.c_str(), 1); }
  ~ProgramHomeAt() { unsetenv("KESTREL_HOME"); }
  ProgramHomeAt(const ProgramHomeAt&) = delete;
  ProgramHomeAt& operator=(const ProgramHomeAt&) = delete;
};

}  // namespace kestrel::testing
