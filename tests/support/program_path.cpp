// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/program_path.h"

#include <filesystem>

namespace kestrel::testing {

std::string ProgramPath() {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return (self.parent_path().parent_path() / "kestrel").string();
}

}  // namespace kestrel::testing
