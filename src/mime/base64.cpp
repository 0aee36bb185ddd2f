// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/base64.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kestrel::mime {
namespace {

// "=" at the end of a line can remove bytes produced up to this many bytes
// back; a run of "=" longer than four times this only loses its excess effect.
constexpr std::size_t kPadHoldBack = 64;

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::uint8_t, 256> MakeTable() {
  std::array<std::uint8_t, 256> table{};
  for (auto& value : table) value = 63;  // not in the alphabet: all six bits set
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return table;
}
constexpr std::array<std::uint8_t, 256> kValues = MakeTable();

// The same values, but 0xFF for a character outside the alphabet.
constexpr std::array<std::uint8_t, 256> MakeStrictTable() {
  std::array<std::uint8_t, 256> table{};
  for (auto& value : table) value = 0xFF;
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return table;
}
constexpr std::array<std::uint8_t, 256> kStrictValues = MakeStrictTable();
constexpr std::uint8_t kNotInAlphabet = 0x80;

// Decodes the whole groups of four at p into room made once (appending
// three bytes at a time costs more than decoding them); returns the OR of
// all values looked up.
std::uint8_t DecodeGroups(const unsigned char*& p, const unsigned char* end, std::string& out,
                          const std::array<std::uint8_t, 256>& values) {
  const std::size_t groups = static_cast<std::size_t>(end - p) / 4;
  const std::size_t at = out.size();
  out.resize(at + groups * 3);
  char* o = out.data() + at;
  std::uint8_t seen = 0;
  for (std::size_t i = 0; i < groups; ++i, p += 4, o += 3) {
    const std::uint8_t a = values[p[0]], b = values[p[1]], c = values[p[2]], d = values[p[3]];
    seen |= a | b | c | d;
    const std::uint32_t group = (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) |
                                (std::uint32_t{c} << 6) | (std::uint32_t{d} & 63);
    o[0] = static_cast<char>(group >> 16);
    o[1] = static_cast<char>(group >> 8);
    o[2] = static_cast<char>(group);
  }
  return seen;
}

// The two characters of every 12-bit value: a 3-byte group is two look-ups.
constexpr std::array<char, 2 * 4096> MakePairs() {
  std::array<char, 2 * 4096> pairs{};
  for (std::size_t value = 0; value < 4096; ++value) {
    pairs[2 * value] = kAlphabet[value >> 6];
    pairs[2 * value + 1] = kAlphabet[value & 63];
  }
  return pairs;
}
constexpr std::array<char, 2 * 4096> kPairs = MakePairs();

}  // namespace

std::uint64_t Base64TextBytes(std::uint64_t bytes) {
  const std::uint64_t full = bytes / kBase64BlockBytes;
  const std::uint64_t rest = bytes % kBase64BlockBytes;
  return full * (kBase64LineChars + 2) + (rest + 2) / 3 * 4 + 2;
}

std::size_t EncodeBase64Block(const std::uint8_t* block, std::size_t count, char* out) {
  count = std::min(count, kBase64BlockBytes);
  std::size_t length = 0;
  std::size_t i = 0;
  for (; i + 3 <= count; i += 3) {
    const std::uint32_t group =
        (std::uint32_t{block[i]} << 16) | (std::uint32_t{block[i + 1]} << 8) | block[i + 2];
    std::memcpy(out + length, &kPairs[2 * (group >> 12)], 2);
    std::memcpy(out + length + 2, &kPairs[2 * (group & 0xFFF)], 2);
    length += 4;
  }
  const std::size_t rest = count - i;
  if (rest > 0) {
    // The missing bytes count as zero, so the spare bits of the last character are zero.
    const std::uint32_t group =
        (std::uint32_t{block[i]} << 16) | (rest == 2 ? std::uint32_t{block[i + 1]} << 8 : 0);
    out[length++] = kAlphabet[(group >> 18) & 63];
    out[length++] = kAlphabet[(group >> 12) & 63];
    out[length++] = rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
    out[length++] = '=';
  }
  return length;
}

std::string EncodeBase64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  char line[kBase64LineChars];
  // A block is a whole number of 3-byte groups, so the lines join seamlessly.
  for (std::size_t at = 0; at < bytes.size(); at += kBase64BlockBytes) {
    out.append(line, EncodeBase64Block(data + at, bytes.size() - at, line));
  }
  return out;
}

bool InBase64Alphabet(char c) {
  return (kStrictValues[static_cast<unsigned char>(c)] & kNotInAlphabet) == 0;
}

void Base64LineDecoder::Feed(std::string_view piece, std::string& out) {
  if (piece.empty()) return;
  const std::size_t size_before = out.size();
  const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
  const auto* end = p + piece.size();
  // Whole groups of four characters while no bits are pending: the fast path.
  if (bit_count_ == 0) (void)DecodeGroups(p, end, out, kValues);
  FeedRest(p, end, out);
  // Count the "=" run at the end; a piece of nothing but "=" extends the run.
  std::size_t run = 0;
  while (run < piece.size() && piece[piece.size() - 1 - run] == '=') ++run;
  equals_ = run == piece.size() ? equals_ + run : run;
  line_bytes_ += out.size() - size_before;
}

bool Base64LineDecoder::FeedAlphabetOnly(std::string_view piece, std::string& out) {
  if (piece.empty()) return true;
  const std::size_t size_before = out.size();
  const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
  const auto* end = p + piece.size();
  std::uint8_t seen = bit_count_ == 0 ? DecodeGroups(p, end, out, kStrictValues) : 0;
  for (const auto* q = p; q < end; ++q) seen |= kStrictValues[*q];
  if (seen & kNotInAlphabet) {
    out.resize(size_before);
    return false;
  }
  FeedRest(p, end, out);
  equals_ = 0;
  line_bytes_ += out.size() - size_before;
  return true;
}

void Base64LineDecoder::FeedRest(const unsigned char* p, const unsigned char* end,
                                 std::string& out) {
  for (; p < end; ++p) {
    bits_ = (bits_ << 6) | kValues[*p];
    bit_count_ += 6;
    if (bit_count_ >= 8) {
      bit_count_ -= 8;
      out.push_back(static_cast<char>(bits_ >> bit_count_));
      bits_ &= (1u << bit_count_) - 1;
    }
  }
}

void Base64LineDecoder::EndLine(std::string& out) {
  if (bit_count_ > 0) {
    out.push_back(static_cast<char>(bits_ << (8 - bit_count_)));
    ++line_bytes_;
  }
  const std::size_t remove = std::min({equals_, HeldBack(), out.size()});
  out.resize(out.size() - remove);
  bits_ = 0;
  bit_count_ = 0;
  equals_ = 0;
  line_bytes_ = 0;
}

std::size_t Base64LineDecoder::HeldBack() const {
  return std::min(line_bytes_, kPadHoldBack);
}

std::size_t Base64LineDecoder::ReadyBytes(const std::string& out) const {
  return out.size() > HeldBack() ? out.size() - HeldBack() : 0;
}

std::string DecodeBase64Line(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 3 / 4 + 3);
  Base64LineDecoder decoder;
  decoder.Feed(text, out);
  decoder.EndLine(out);
  return out;
}

}  // namespace kestrel::mime
