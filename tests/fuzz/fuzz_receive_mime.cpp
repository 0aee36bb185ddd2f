// SPDX-License-Identifier: GPL-2.0-or-later
// Received mail is untrusted: any bytes of RETR data through the body reader
// and the MIME scanner (nested parts, parameters, encoded words, every
// transfer encoding, uuencode). Whatever the input, files appear only inside
// the inbound, under bare names, and a message that stays on the server
// (cut off, or a part that could not be saved) leaves nothing there. Only
// verifying it writes nothing at all and makes the same content digest.

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "null_front_end.h"
#include "receive/attachment_decoder.h"
#include "receive/body_reader.h"

namespace {

// A scratch area: <root>/IN is the inbound; nothing else may appear in <root>.
char root_path[] = "/tmp/kestrel-fuzz-XXXXXX";
char inbound_path[sizeof root_path + 3];

const std::string& Root() {
  static const std::string root = [] {
    if (!mkdtemp(root_path)) __builtin_trap();
    std::snprintf(inbound_path, sizeof inbound_path, "%s/IN", root_path);
    if (mkdir(inbound_path, 0700) != 0) __builtin_trap();
    // Plain buffers, since the exit handler runs after static strings are gone.
    std::atexit([] {
      (void)rmdir(inbound_path);
      (void)rmdir(root_path);
    });
    return std::string(root_path);
  }();
  return root;
}

// Entries of a directory but "." and ".."; removes them when asked.
std::size_t Entries(const std::string& directory, bool remove) {
  std::size_t count = 0;
  DIR* dir = opendir(directory.c_str());
  if (!dir) __builtin_trap();
  while (dirent* entry = readdir(dir)) {
    if (!std::strcmp(entry->d_name, ".") || !std::strcmp(entry->d_name, "..")) continue;
    ++count;
    if (remove && unlink((directory + "/" + entry->d_name).c_str()) != 0) __builtin_trap();
  }
  closedir(dir);
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel::receive;
  kestrel::fuzz::NullFrontEnd front_end;
  AttachmentDecoder decoder(
      front_end, [](std::string_view) {}, Root() + "/IN/");
  // The first byte picks how the data is handed out, to reach every split.
  const std::size_t chunk = size > 0 ? 1 + data[0] % 64 : 1;
  const auto decode = [&](DecodeMode mode, bool& complete) {
    std::size_t at = 0;
    BodyReader reader([&](char* buffer, std::size_t capacity) {
      const std::size_t n = std::min({chunk, capacity, size - at});
      std::memcpy(buffer, data + at, n);
      at += n;
      return n;
    });
    decoder.StartMessage(nullptr, "message", {}, mode);
    BodyPiece piece;
    BodyStatus status;
    while ((status = reader.ReadBodyLine(piece)) == BodyStatus::Piece) {
      if (piece.text.size() > kMaxBodyPiece) __builtin_trap();
      decoder.ScanBodyLine(piece.text, piece.line_ends);
    }
    complete = status == BodyStatus::EndOfData;
    return decoder.EndOfMessage(complete);
  };
  bool complete = false;
  const MessageOutcome verified = decode(DecodeMode::VerifyOnly, complete);
  if (Entries(Root() + "/IN", false) != 0) __builtin_trap();
  const MessageOutcome outcome = decode(DecodeMode::Save, complete);
  if (!complete && outcome.whole) __builtin_trap();
  if (outcome.whole && outcome.content_digest != verified.content_digest) __builtin_trap();
  if (Entries(Root(), false) != 1) __builtin_trap();  // only IN
  const std::size_t inside = Entries(Root() + "/IN", true);
  if (!outcome.whole && inside != 0) __builtin_trap();
  if (outcome.whole && inside != outcome.files.size()) __builtin_trap();
  return 0;
}
