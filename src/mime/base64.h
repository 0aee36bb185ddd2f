// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// BASE64 (RFC 2045) as mail carries it.
//
// Sending: 57 data bytes make one 76-character line, "="-padded.
//
// Receiving: lines are decoded without any validation: every character gives
// 6 bits (its alphabet value, 63 for anything else, "=" included), the bits
// are cut into bytes, a last partial byte is completed with zero bits, and
// each "=" that ends the line takes one byte off the end.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::mime {

// Data bytes per encoded line.
inline constexpr std::size_t kBase64BlockBytes = 57;
// Characters of a full line.
inline constexpr std::size_t kBase64LineChars = 76;

// The BASE64 lines of `bytes` data bytes as a message carries them, CR LF
// included: a line per 57 bytes and the shorter (possibly empty) last one.
[[nodiscard]] std::uint64_t Base64TextBytes(std::uint64_t bytes);

// The first `count` bytes of `block` (0 to 57; more are not taken) encoded as
// one line into `out`, which holds at least kBase64LineChars; returns the
// line's length. 0 bytes give the empty line.
std::size_t EncodeBase64Block(const std::uint8_t* block, std::size_t count, char* out);

// Any number of bytes as one unbroken line (SASL responses).
[[nodiscard]] std::string EncodeBase64(std::string_view bytes);

// True for the 64 characters of the alphabet ("=" is none of them).
[[nodiscard]] bool InBase64Alphabet(char c);

// One received line decoded: QUJD gives "ABC", QUI= gives "AB", QQ== gives "A".
[[nodiscard]] std::string DecodeBase64Line(std::string_view text);

// The same decoding for a line that arrives in pieces: Feed() each piece, then
// EndLine(). Bytes are appended to the output string; the last few bytes stay
// in it until the line ends, so that its closing "=" can still remove them.
// Memory is bounded by the caller, who may take bytes out of the output
// beyond ReadyBytes() at any time.
class Base64LineDecoder {
 public:
  void Feed(std::string_view piece, std::string& out);
  // Feed for a piece of alphabet characters only (no "=", no blanks), in one
  // pass; false, with nothing done, when the piece holds anything else.
  [[nodiscard]] bool FeedAlphabetOnly(std::string_view piece, std::string& out);
  // Completes the line: flushes a partial byte and applies the "=" rule.
  void EndLine(std::string& out);
  // How many bytes at the start of `out` can no longer change.
  [[nodiscard]] std::size_t ReadyBytes(const std::string& out) const;

 private:
  [[nodiscard]] std::size_t HeldBack() const;
  // Characters one by one, with the bits pending between them.
  void FeedRest(const unsigned char* p, const unsigned char* end, std::string& out);

  std::uint32_t bits_ = 0;      // pending bits, right-aligned
  int bit_count_ = 0;           // 0, 2, 4 or 6
  std::size_t equals_ = 0;      // "=" characters at the current end of the line
  std::size_t line_bytes_ = 0;  // bytes this line has appended so far
};

}  // namespace kestrel::mime
