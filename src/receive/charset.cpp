// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/charset.h"

#include <iconv.h>

#include "core/text_utils.h"

namespace kestrel::receive {
namespace {

// UTF-8 needs at most four bytes for a character that took one byte or more.
constexpr std::size_t kUtf8BytesPerInputByte = 4;
// Room for the bytes that end a stateful charset's shift sequence.
constexpr std::size_t kShiftReserve = 16;

bool AlreadyUtf8(std::string_view charset) {
  const std::string upper = core::UpperCase(charset);
  return upper.empty() || upper == "UTF-8" || upper == "UTF8" || upper == "US-ASCII" ||
         upper == "ASCII";
}

}  // namespace

std::string ToUtf8(std::string_view charset, std::string_view bytes) {
  std::string original(bytes);
  if (bytes.empty() || AlreadyUtf8(charset)) return original;
  const iconv_t converter = ::iconv_open("UTF-8", std::string(charset).c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) return original;
  std::string converted(bytes.size() * kUtf8BytesPerInputByte + kShiftReserve, '\0');
  char* in = original.data();
  std::size_t in_left = original.size();
  char* out = converted.data();
  std::size_t out_left = converted.size();
  bool ok = ::iconv(converter, &in, &in_left, &out, &out_left) != static_cast<std::size_t>(-1);
  ok = ok && ::iconv(converter, nullptr, nullptr, &out, &out_left) != static_cast<std::size_t>(-1);
  ::iconv_close(converter);
  if (!ok) return original;
  converted.resize(converted.size() - out_left);
  return converted;
}

}  // namespace kestrel::receive
