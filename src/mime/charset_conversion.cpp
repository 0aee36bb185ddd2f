// SPDX-License-Identifier: GPL-2.0-or-later
#include "mime/charset_conversion.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "mime/ascii_text.h"

namespace kestrel::mime {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::size_t kOutputChunk = 4096;

// What becomes of a byte sequence that is not valid in the charset.
enum class BadBytes { Replace, Refuse };

class Converter {
 public:
  explicit Converter(const std::string& charset) : cd_(iconv_open("UTF-8", charset.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  [[nodiscard]] bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Nothing when a sequence is not valid and bad_bytes refuses the text.
  std::optional<std::string> Convert(std::string_view text, BadBytes bad_bytes) {
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    char* in = const_cast<char*>(text.data());
    std::size_t in_left = text.size();
    std::array<char, kOutputChunk> chunk{};
    while (in_left > 0) {
      char* next = chunk.data();
      std::size_t out_left = chunk.size();
      const std::size_t result = iconv(cd_, &in, &in_left, &next, &out_left);
      out.append(chunk.data(), static_cast<std::size_t>(next - chunk.data()));
      if (result != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
      if (bad_bytes == BadBytes::Refuse) return std::nullopt;
      // EILSEQ, or EINVAL for a sequence cut off by the end: one byte is lost
      // to a replacement character and the state starts afresh.
      out.append(kReplacement);
      ++in;
      --in_left;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    char* next = chunk.data();
    std::size_t out_left = chunk.size();
    // A stateful charset's closing shift.
    const std::size_t result = iconv(cd_, nullptr, nullptr, &next, &out_left);
    if (result == static_cast<std::size_t>(-1) && bad_bytes == BadBytes::Refuse)
      return std::nullopt;
    out.append(chunk.data(), static_cast<std::size_t>(next - chunk.data()));
    return out;
  }

 private:
  iconv_t cd_;
};

// Length of the UTF-8 sequence starting at `at`, 0 when it is not well-formed.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;  // bounds of the second byte, RFC 3629
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

// Every sequence that is not well-formed UTF-8 replaced by U+FFFD: iconv lets
// some through from UTF-8 input (code points beyond U+10FFFF).
std::string WellFormed(std::string text) {
  if (IsUtf8(text)) return text;
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, at);
    if (length == 0) {
      out.append(kReplacement);
      ++at;
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out;
}

}  // namespace

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool IsUtf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::optional<std::string> ConvertToUtf8(std::string_view text, const std::string& charset) {
  Converter converter(charset);
  if (!converter.ok()) return std::nullopt;
  return WellFormed(*converter.Convert(text, BadBytes::Replace));
}

std::string UserTextAsUtf8(std::string_view text) {
  if (IsUtf8(text)) return std::string(text);
  return ConvertToUtf8(text, "CP1252").value_or(std::string(text));
}

std::string DeclaredTextAsUtf8(std::string_view charset, std::string_view bytes) {
  const std::string upper = UpperCase(charset);
  const bool already_utf8 = upper.empty() || upper == "UTF-8" || upper == "UTF8" ||
                            upper == "US-ASCII" || upper == "ASCII";
  if (bytes.empty() || already_utf8) return std::string(bytes);
  Converter converter{std::string(charset)};
  if (!converter.ok()) return std::string(bytes);
  return converter.Convert(bytes, BadBytes::Refuse).value_or(std::string(bytes));
}

}  // namespace kestrel::mime
