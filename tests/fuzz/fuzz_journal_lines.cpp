// SPDX-License-Identifier: GPL-2.0-or-later
// The received journal is read from a file anyone with access to the home may
// have written. Whatever its bytes, reading never crashes, and a journal that
// was read takes a new entry that the next run reads back and recognises.

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "receive/intake/received_journal.h"

namespace {

// In memory: the journal syncs what it writes, which on a disk would make
// each run slow.
char root_path[] = "/dev/shm/kestrel-fuzz-XXXXXX";
char journal_path[sizeof root_path + 12];

const std::string& JournalPath() {
  static const std::string path = [] {
    if (!mkdtemp(root_path)) __builtin_trap();
    std::snprintf(journal_path, sizeof journal_path, "%s/KESTREL.JNL", root_path);
    // Plain buffers, since the exit handler runs after static strings are gone.
    std::atexit([] {
      (void)unlink(journal_path);
      (void)rmdir(root_path);
    });
    return std::string(journal_path);
  }();
  return path;
}

constexpr std::int64_t kNow = 1'800'000'000;
constexpr std::string_view kBox = "fuzz@pop:110";
constexpr std::string_view kDigest =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestrel::receive::ReceivedJournal;
  std::FILE* file = std::fopen(JournalPath().c_str(), "wb");
  if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) {
    __builtin_trap();
  }
  std::string error;
  ReceivedJournal journal(JournalPath());
  if (!journal.Load(kNow, error)) return 0;
  (void)journal.IsSuspect(kBox, "FUZZ", "<fuzz@example.org>");
  if (!journal.Record(kBox, "FUZZ", "<fuzz@example.org>", kDigest, kNow, error)) __builtin_trap();
  ReceivedJournal again(JournalPath());
  if (!again.Load(kNow, error) || !again.IsCopy(kBox, "FUZZ", "", kDigest)) __builtin_trap();
  return 0;
}
