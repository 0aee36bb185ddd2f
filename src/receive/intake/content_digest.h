// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The fingerprint of what a message carries, so that a message met again can
// be proved to be the same one: for each file part in order, its name as the
// mail asks for it, its length and its bytes; for a message without a file
// part, its lines after the top-level header.

#include <cstdint>
#include <string>
#include <string_view>

#include "net/sha256.h"

namespace kestrel::receive {

class ContentDigest {
 public:
  // A piece of a line after the top-level header; line_ends adds CR LF.
  // Counts only while no file part has started.
  void BodyLine(std::string_view piece, bool line_ends);

  // A file part: its name, then its decoded bytes, then its end.
  void StartFile(std::string_view name);
  void FileBytes(std::string_view bytes);
  void EndFile();

  // Lower-case hex SHA-256, or empty when it could not be made. Once only.
  [[nodiscard]] std::string Finish();

 private:
  net::Sha256 lines_;
  net::Sha256 files_;
  net::Sha256 file_;  // of the current file's bytes
  bool has_files_ = false;
  bool failed_ = false;
  std::string file_name_;
  std::uint64_t file_bytes_ = 0;
};

}  // namespace kestrel::receive
