// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The items of an untagged FETCH response that the walk uses:
// "* 3 FETCH (UID 17 RFC822.SIZE 2345 FLAGS (\Seen))".

#include <cstdint>
#include <optional>
#include <string_view>

namespace kestrel::receive {

struct FetchItems {
  std::optional<std::uint32_t> uid;
  std::optional<std::uint64_t> size;
  bool deleted = false;  // flagged \Deleted (by another client)
};

// Nothing when `line` is no FETCH response.
[[nodiscard]] std::optional<FetchItems> ParseFetch(std::string_view line);

// True when the FETCH response line carries the section `item` ("BODY[]",
// "BODY[HEADER]") as the literal at its end.
[[nodiscard]] bool CarriesSection(std::string_view line, std::string_view item);

}  // namespace kestrel::receive
