// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kestrel::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  // Under /tmp so that unprivileged server users (dovecot) can reach it.
  std::string templ = (fs::temp_directory_path() / "kestrel-test-XXXXXX").string();
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempDir::File(const std::string& relative) const {
  return path_ + "/" + relative;
}

std::string TempDir::Write(const std::string& relative, const std::string& content) const {
  const fs::path full = File(relative);
  fs::create_directories(full.parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out << content;
  return full.string();
}

std::string TempDir::MakeDir(const std::string& relative) const {
  const fs::path full = File(relative);
  fs::create_directories(full);
  return full.string();
}

std::string TempDir::Read(const std::string& relative) const {
  std::ifstream in(File(relative), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool TempDir::Exists(const std::string& relative) const {
  return fs::exists(File(relative));
}

}  // namespace kestrel::testing
