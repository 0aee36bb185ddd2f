// SPDX-License-Identifier: GPL-2.0-or-later
// Pieces of split messages are untrusted: any bytes of RETR data, several
// messages in a row (cut at 0xFF bytes), through the piece catcher into a
// spool with small bounds. Whatever the input, the spool holds only set
// directories, no piece on its way in is left behind, no set holds more than
// its total allows, the bounds hold, and only verifying writes nothing.

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "null_front_end.h"
#include "receive/intake/attachment_decoder.h"
#include "receive/intake/body_reader.h"
#include "receive/partial/partial_catcher.h"
#include "receive/partial/partial_spool.h"

namespace {

using namespace kestrel::receive;

// Messages one input holds at most.
constexpr int kMaxMessages = 6;
// Bounds small enough for the fuzzer to meet.
constexpr SpoolLimits kLimits{64 * 1024, 4, 32 * 1024, 3};

// In memory where it can be: each piece is synced.
char shm_path[] = "/dev/shm/kestrel-fuzz-pieces-XXXXXX";
char tmp_path[] = "/tmp/kestrel-fuzz-pieces-XXXXXX";
const char* chosen_path = nullptr;
char inbound_path[sizeof shm_path + 4];
char spool_path[sizeof shm_path + 4];

const std::string& Root() {
  static const std::string root = [] {
    const char* root_path = mkdtemp(shm_path);
    if (!root_path) root_path = mkdtemp(tmp_path);
    if (!root_path) __builtin_trap();
    chosen_path = root_path;
    std::snprintf(inbound_path, sizeof inbound_path, "%s/IN", root_path);
    std::snprintf(spool_path, sizeof spool_path, "%s/SPL", root_path);
    if (mkdir(inbound_path, 0700) != 0 || mkdir(spool_path, 0700) != 0) __builtin_trap();
    // Plain buffers, since the exit handler runs after static strings are gone.
    std::atexit([] {
      (void)rmdir(inbound_path);
      (void)rmdir(spool_path);
      (void)rmdir(chosen_path);
    });
    return std::string(root_path);
  }();
  return root;
}

// Entries under `directory` (kept itself), hidden ones in `hidden`; removes
// them when asked.
std::size_t Entries(const std::string& directory, bool remove, std::size_t* hidden = nullptr) {
  std::size_t count = 0;
  DIR* dir = opendir(directory.c_str());
  if (!dir) __builtin_trap();
  while (dirent* entry = readdir(dir)) {
    if (!std::strcmp(entry->d_name, ".") || !std::strcmp(entry->d_name, "..")) continue;
    ++count;
    if (hidden && entry->d_name[0] == '.') ++*hidden;
    if (!remove) continue;
    const std::string path = directory + "/" + entry->d_name;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) __builtin_trap();
    if (S_ISDIR(st.st_mode)) {
      Entries(path, true);
      if (rmdir(path.c_str()) != 0) __builtin_trap();
    } else if (unlink(path.c_str()) != 0) {
      __builtin_trap();
    }
  }
  closedir(dir);
  return count;
}

void Feed(PartialCatcher& catcher, AttachmentDecoder& decoder, std::string_view data,
          DecodeMode mode, const std::string& label) {
  std::size_t at = 0;
  BodyReader reader([&](char* buffer, std::size_t capacity) {
    const std::size_t n = std::min(capacity, data.size() - at);
    std::memcpy(buffer, data.data() + at, n);
    at += n;
    return n;
  });
  decoder.StartMessage(nullptr, "message", {}, mode);
  catcher.StartMessage(label, mode);
  BodyPiece piece;
  BodyStatus status;
  while ((status = reader.ReadBodyLine(piece)) == BodyStatus::Piece) {
    catcher.Line(piece.text, piece.line_ends);
  }
  catcher.EndOfData();
  MessageOutcome outcome = decoder.EndOfMessage(status == BodyStatus::EndOfData);
  catcher.Finish(status == BodyStatus::EndOfData, outcome);
  if (outcome.every_message) __builtin_trap();  // a piece never ends the walk
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrel::fuzz::NullFrontEnd front_end;
  AttachmentDecoder decoder(
      front_end, [](std::string_view) {}, Root() + "/IN/");
  const PartialSpool spool(Root() + "/SPL/", kLimits);
  PartialCatcher catcher(spool, decoder);
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t at = 0;
  for (int n = 0; n < kMaxMessages && at <= input.size(); ++n) {
    const std::size_t end = std::min(input.find('\xff', at), input.size());
    const std::string message = std::string(input.substr(at, end - at)) + "\r\n.\r\n";
    at = end + 1;
    const std::size_t before = Entries(Root() + "/SPL", false);
    Feed(catcher, decoder, message, DecodeMode::VerifyOnly, std::to_string(n));
    if (Entries(Root() + "/SPL", false) != before) __builtin_trap();
    for (int again = 0; again < 2; ++again) {  // the second time, a copy or a conflict
      Feed(catcher, decoder, message, DecodeMode::Save, std::to_string(n));
      std::size_t hidden = 0;
      (void)Entries(Root() + "/SPL", false, &hidden);
      if (hidden != 0) __builtin_trap();  // a piece on its way in was left behind
    }
    std::uint64_t bytes = 0;
    const std::vector<PartialSet> sets = spool.Sets();
    if (sets.size() > kLimits.sets) __builtin_trap();
    for (const PartialSet& set : sets) {
      bytes += set.bytes;
      if (set.total && !set.numbers.empty() && set.numbers.back() > *set.total) __builtin_trap();
    }
    if (bytes > kLimits.bytes) __builtin_trap();
  }
  (void)Entries(Root() + "/SPL", true);
  (void)Entries(Root() + "/IN", true);
  return 0;
}
