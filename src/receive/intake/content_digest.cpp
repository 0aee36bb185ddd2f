// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/intake/content_digest.h"

#include <optional>

namespace kestrel::receive {

void ContentDigest::BodyLine(std::string_view piece, bool line_ends) {
  if (has_files_) return;
  lines_.Update(piece);
  if (line_ends) lines_.Update("\r\n");
}

void ContentDigest::StartFile(std::string_view name) {
  has_files_ = true;
  file_name_.assign(name);
  file_bytes_ = 0;
}

void ContentDigest::FileBytes(std::string_view bytes) {
  file_.Update(bytes);
  file_bytes_ += bytes.size();
}

// Each file as "LENGTH:NAME" "LENGTH:" and the digest of its bytes: no two
// different lists of files give the same text.
void ContentDigest::EndFile() {
  const std::optional<std::string> bytes = file_.FinishHex();
  if (!bytes) failed_ = true;
  files_.Update(std::to_string(file_name_.size()) + ":" + file_name_ + std::to_string(file_bytes_) +
                ":" + bytes.value_or(""));
}

std::string ContentDigest::Finish() {
  const std::optional<std::string> digest = has_files_ ? files_.FinishHex() : lines_.FinishHex();
  return failed_ ? std::string() : digest.value_or("");
}

}  // namespace kestrel::receive
