// SPDX-License-Identifier: GPL-2.0-or-later
// A received BASE64 line of any length and content: the whole-line decoder
// and the piecewise decoder must agree, whatever the cut points, and a line
// never yields more than three bytes for every four characters (plus one).

#include <string>
#include <string_view>

#include "mime/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel::mime;
  if (size == 0) return 0;
  // The first byte chooses the piece length, the rest is the line.
  const std::size_t piece = 1 + data[0] % 17;
  const std::string_view line(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string whole = DecodeBase64Line(line);
  if (whole.size() > line.size() * 3 / 4 + 1) __builtin_trap();

  Base64LineDecoder decoder;
  std::string pieces;
  for (std::size_t at = 0; at < line.size(); at += piece) {
    decoder.Feed(line.substr(at, piece), pieces);
    if (decoder.ReadyBytes(pieces) > pieces.size()) __builtin_trap();
  }
  decoder.EndLine(pieces);
  if (pieces != whole) __builtin_trap();
  return 0;
}
