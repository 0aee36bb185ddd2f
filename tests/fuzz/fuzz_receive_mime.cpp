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
#include <string_view>

#include "null_front_end.h"
#include "receive/intake/attachment_decoder.h"
#include "receive/intake/body_reader.h"

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

// The data up to its "." line the plain way: lines end only at CR LF, and
// a line starting with ".." loses one dot. Every byte must come through.
std::string Unstuffed(std::string_view data) {
  std::string lines;
  for (std::size_t at = 0; at < data.size();) {
    std::size_t end = data.find("\r\n", at);
    if (end == std::string_view::npos) __builtin_trap();  // the data ends with ".\r\n"
    std::string_view line = data.substr(at, end - at);
    at = end + 2;
    if (line == ".") break;
    if (line.substr(0, 2) == "..") line.remove_prefix(1);
    lines.append(line);
    lines += "\r\n";
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel::receive;
  kestrel::fuzz::NullFrontEnd front_end;
  AttachmentDecoder decoder(
      front_end, [](std::string_view) {}, Root() + "/IN/");
  // The first byte seeds the sizes the data is handed out in, one size a
  // read, to reach every split.
  const auto decode = [&](DecodeMode mode, bool& complete) {
    std::size_t at = 0;
    std::uint32_t chunks = size > 0 ? data[0] : 1;
    BodyReader reader([&](char* buffer, std::size_t capacity) {
      chunks = chunks * 1103515245u + 12345u;
      const std::size_t n = std::min<std::size_t>({1 + (chunks >> 16) % 97, capacity, size - at});
      std::memcpy(buffer, data + at, n);
      at += n;
      return n;
    });
    decoder.StartMessage(nullptr, "message", {}, mode);
    // The pieces joined again, to be held against the data read.
    std::string lines;
    BodyPiece piece;
    BodyStatus status;
    while ((status = reader.ReadBodyLine(piece)) == BodyStatus::Piece) {
      if (piece.text.size() > kMaxBodyPiece) __builtin_trap();
      lines += piece.text;
      if (piece.line_ends) lines += "\r\n";
      decoder.ScanBodyLine(piece.text, piece.line_ends);
    }
    complete = status == BodyStatus::EndOfData;
    if (complete && lines != Unstuffed(std::string_view(reinterpret_cast<const char*>(data),
                                                        at - reader.Unread().size()))) {
      __builtin_trap();
    }
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
