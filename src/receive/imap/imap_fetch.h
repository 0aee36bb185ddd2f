// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The items of an untagged FETCH response that the walk uses:
// "* 3 FETCH (UID 17 RFC822.SIZE 2345 FLAGS (\Seen))". A response may carry
// a literal; its items go on in the line after the literal
// ("* 3 FETCH (BODY[] {120}" ... " UID 17)"), and a server may send such
// responses at any time, for any message.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::receive {

struct FetchItems {
  std::uint32_t sequence = 0;
  bool deleted = false;  // flagged \Deleted (by another client)
  std::optional<std::uint64_t> size;
  // The item whose value is the literal at the end of the line read last,
  // upper-cased ("BODY[]", "BODY[HEADER]"); empty when none.
  std::string literal_item;

  // The message's UID; nothing when the response gave none, or two that differ.
  [[nodiscard]] std::optional<std::uint32_t> uid() const;
  // The response is about the message of UID `uid`: it said so.
  [[nodiscard]] bool About(std::uint32_t asked) const { return uid() == asked; }
  // Nothing said so far speaks against `uid` (before a literal, the UID may
  // yet follow it).
  [[nodiscard]] bool MayBeAbout(std::uint32_t asked) const;

  std::optional<std::uint32_t> said_uid;  // the first UID item
  bool uid_conflict = false;              // a UID item of no UID, or another one
  bool ended = false;                     // the item list was closed, or cannot be read on
};

// Nothing when `line` is no FETCH response.
[[nodiscard]] std::optional<FetchItems> ParseFetch(std::string_view line);
// The line after a literal of the response `items`: its further items.
void ParseFetchRest(std::string_view line, FetchItems& items);

}  // namespace kestrel::receive
