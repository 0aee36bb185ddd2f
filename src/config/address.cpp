// SPDX-License-Identifier: GPL-2.0-or-later
#include "config/address.h"

#include <cstdio>

#include "config/redirects.h"
#include "mime/ascii_text.h"

namespace kestrel::config {

namespace {

constexpr std::size_t kMaxOutboundPath = 80;
// Zone directories carry three hexadecimal digits; larger zones are clamped.
constexpr std::uint32_t kMaxZone = 4096;

std::uint32_t StrictDecimal(std::string_view text, std::string_view what) {
  if (text.empty())
    throw ConversionError("'' is not a valid integer value (" + std::string(what) + ")");
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || value > 0x7fffffffULL)
      throw ConversionError("'" + std::string(text) + "' is not a valid integer value");
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > 0x7fffffffULL)
    throw ConversionError("'" + std::string(text) + "' is not a valid integer value");
  return static_cast<std::uint32_t>(value);
}

std::string Hex4(std::uint32_t value) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%04X", value & 0xffffU);
  return buffer;
}

// Takes a run of decimal digits from the front of `text`; false when none.
bool TakeDigits(std::string_view& text) {
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  text.remove_prefix(digits);
  return digits > 0;
}

bool TakeMark(std::string_view& text, char mark) {
  if (text.empty() || text.front() != mark) return false;
  text.remove_prefix(1);
  return true;
}

}  // namespace

bool IsFidoAddress(std::string_view text) {
  if (const std::size_t at = text.find('@'); at != std::string_view::npos) {
    if (at + 1 == text.size()) return false;
    text = text.substr(0, at);
  }
  if (text.find(':') != std::string_view::npos && !(TakeDigits(text) && TakeMark(text, ':')))
    return false;
  if (!(TakeDigits(text) && TakeMark(text, '/') && TakeDigits(text))) return false;
  if (TakeMark(text, '.') && !TakeDigits(text)) return false;
  return text.empty();
}

std::string CompleteAddress(std::string_view address, std::uint16_t our_zone) {
  std::string text(address.substr(0, kMaxAddress));
  if (text.find(':') == std::string::npos) text = std::to_string(our_zone) + ":" + text;
  if (text.find('.') == std::string::npos) text += ".0";
  return text.substr(0, kMaxAddress);
}

std::string ApplyRemap(std::string_view line, std::string_view remap_from,
                       std::string_view remap_to, std::size_t max_length) {
  std::string result(line);
  if (!remap_from.empty()) {
    const std::size_t at = mime::UpperCase(result).find(remap_from);
    if (at != std::string::npos) result.replace(at, remap_from.size(), remap_to);
  }
  if (result.size() > max_length) result.resize(max_length);
  return result;
}

std::string OutboundPath(std::string_view address, std::string_view outbound,
                         std::uint16_t our_zone) {
  std::string text(address.substr(0, kMaxOutboundPath));
  if (const std::size_t at = text.find('@'); at != std::string::npos) text.resize(at);
  if (text.empty()) return {};
  std::string filtered;
  for (char c : text) {
    if ((c >= '0' && c <= '9') || c == ':' || c == '/' || c == '.') filtered += c;
  }
  std::string_view rest = filtered;

  std::uint32_t zone = our_zone;
  if (const std::size_t colon = rest.find(':'); colon != std::string_view::npos) {
    zone = StrictDecimal(rest.substr(0, colon), "zone");
    rest.remove_prefix(colon + 1);
  }
  if (zone > kMaxZone) zone = kMaxZone;

  std::uint32_t net = 0;
  if (const std::size_t slash = rest.find('/'); slash != std::string_view::npos) {
    net = StrictDecimal(rest.substr(0, slash), "net");
    rest.remove_prefix(slash + 1);
  }

  std::uint32_t node = 0;
  std::uint32_t point = 0;
  if (const std::size_t dot = rest.find('.'); dot != std::string_view::npos) {
    node = StrictDecimal(rest.substr(0, dot), "node");
    point = StrictDecimal(rest.substr(dot + 1), "point");
  } else {
    node = StrictDecimal(rest, "node");
  }

  std::string result(outbound);
  if (zone != our_zone) result += "." + Hex4(zone).substr(1);
  result += "\\" + Hex4(net) + Hex4(node);
  if (point != 0) result += ".PNT\\0000" + Hex4(point);
  if (result.size() > kMaxOutboundPath) result.resize(kMaxOutboundPath);
  return result;
}

}  // namespace kestrel::config
