// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// FidoNet address text, the remap substitution and outbound file names.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrel::config {

// A malformed number where the configuration or an address must be converted
// strictly (OURZONE, OutboundPath). It ends the command that met it.
class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// True for "net/node", with an optional "zone:" before and ".point" and
// "@domain" after, every number decimal: what a REDIRECT may name.
[[nodiscard]] bool IsFidoAddress(std::string_view text);

// Adds the zone when there is no ":" and ".0" when there is no "."; cut to 30.
[[nodiscard]] std::string CompleteAddress(std::string_view address, std::uint16_t our_zone);

// Replaces the first occurrence of remap_from (upper case) in the line, letter
// case aside, by remap_to; cut to max_length. An empty remap_from does nothing.
[[nodiscard]] std::string ApplyRemap(std::string_view line, std::string_view remap_from,
                                     std::string_view remap_to, std::size_t max_length);

// The outbound file name of an address without extension, for example
// OUTBOUND\00EC0064 or OUTBOUND.001\007B002D.PNT\00000003. Throws
// ConversionError for a part that is empty or not decimal.
[[nodiscard]] std::string OutboundPath(std::string_view address, std::string_view outbound,
                                       std::uint16_t our_zone);

}  // namespace kestrel::config
