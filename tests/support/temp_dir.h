// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A scratch directory for one test, removed with everything in it afterwards.

#include <string>

namespace kestrel::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }
  // path() + "/" + relative
  [[nodiscard]] std::string File(const std::string& relative) const;
  // Writes a file (creating parent directories); returns its full path.
  std::string Write(const std::string& relative, const std::string& content) const;
  // Creates a directory (and parents); returns its full path.
  std::string MakeDir(const std::string& relative) const;
  // Reads a whole file; empty when missing.
  [[nodiscard]] std::string Read(const std::string& relative) const;
  [[nodiscard]] bool Exists(const std::string& relative) const;

 private:
  std::string path_;
};

}  // namespace kestrel::testing
