// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/partial/partial_delivery.h"

#include <unistd.h>

#include <cerrno>

#include "platform/error_text.h"
#include "platform/files.h"
#include "platform/program_home.h"

namespace kestrel::receive {
namespace {

// The set's name is a hash: eight of its digits are a FidoNet-sized name.
constexpr std::size_t kNameDigits = 8;
constexpr std::size_t kCopyBlock = 64 * 1024;

bool CopyPieces(const PartialSet& set, std::FILE* out, std::string& error) {
  std::string block(kCopyBlock, '\0');
  for (const std::uint32_t number : set.numbers) {
    const std::string path = set.PiecePath(number);
    const platform::UniqueFile in = platform::OpenFile(path, "rb");
    if (!in) {
      error = path + ": " + platform::ErrorText(errno);
      return false;
    }
    std::size_t count = 0;
    while ((count = std::fread(block.data(), 1, block.size(), in.get())) > 0) {
      if (std::fwrite(block.data(), 1, count, out) != count) {
        error = platform::ErrorText(errno);
        return false;
      }
    }
    if (std::ferror(in.get())) {
      error = path + ": " + platform::ErrorText(errno);
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<std::string> DeliverPieces(const PartialSpool& spool, const PartialSet& set,
                                         const std::string& inbound, std::string& error) {
  const std::string stem = set.Name().substr(0, kNameDigits);
  std::string name;
  for (int n = 0; n < kMaxDeliveryNames && name.empty(); ++n) {
    const std::string candidate = stem + (n ? "_" + std::to_string(n) : std::string()) + ".EML";
    if (!platform::FileExists(inbound + candidate)) name = candidate;
  }
  if (name.empty()) {
    error =
        inbound + stem + ".EML: every name up to _" + std::to_string(kMaxDeliveryNames) + " taken";
    return std::nullopt;
  }
  const std::string hidden = inbound + "." + name + std::string(platform::kPartialSuffix);
  platform::UniqueFile out = platform::OpenFile(hidden, "wb");
  if (!out) {
    error = hidden + ": " + platform::ErrorText(errno);
    return std::nullopt;
  }
  bool written = CopyPieces(set, out.get(), error);
  if (written && (std::fflush(out.get()) != 0 || ::fsync(::fileno(out.get())) != 0)) {
    error = hidden + ": " + platform::ErrorText(errno);
    written = false;
  }
  written = std::fclose(out.release()) == 0 && written;
  if (written && platform::RenameFile(hidden, inbound + name) && platform::SyncDirectory(inbound)) {
    if (!spool.Remove(set)) error = "could not remove " + set.directory;
    return name;
  }
  if (error.empty()) error = inbound + name + ": " + platform::ErrorText(errno);
  (void)platform::DeleteFile(hidden);
  return std::nullopt;
}

}  // namespace kestrel::receive
