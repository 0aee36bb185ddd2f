// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Names of received attachments: taken from untrusted mail, so they are cut to
// a bare file name and cleaned before anything is created in the inbound, and
// an existing file is never overwritten.

#include <optional>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace kestrel::receive {

// A parameter value (boundary, name) is cut to this many characters first.
inline constexpr std::size_t kMaxParameterValue = 128;
// "1".."9", "A".."Z": the replacement last characters of a taken name.
inline constexpr std::string_view kRenameSequence = "123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

// The value of a parameter given the text after "NAME=" or "BOUNDARY=": cut to
// kMaxParameterValue, then a leading double quote starts a quoted value that
// ends at the next one; an unquoted value ends at ";" and loses trailing blanks.
[[nodiscard]] std::string ParameterValue(std::string_view text_after_equals);

// A name that is safe to create inside the inbound: what follows the last
// ":", "\" or "/", control characters (NUL included) replaced by "_",
// surrounding blanks removed. Empty when nothing usable is left ("", ".", "..").
[[nodiscard]] std::string SafeAttachmentName(std::string_view name);

// The name itself when no file of that name exists in `inbound` (which ends in
// a separator), else the first variant whose last character is replaced by
// the next of kRenameSequence that is free; nothing when all 35 are taken.
[[nodiscard]] std::optional<std::string> FindFreeName(std::string_view inbound,
                                                      std::string_view name);

// An attachment is written under a hidden name beside its final one and
// appears under the final name only once it is complete, so software that
// watches the inbound never picks up half a file, not even after a crash.
// The suffix keeps patterns such as "*.PKT" from matching the partial file.
inline constexpr std::string_view kPartialSuffix = ".kestrel-partial";

// ".NAME.kestrel-partial": where the attachment `name` is written.
[[nodiscard]] std::string PartialName(std::string_view name);

// Creates inbound + PartialName(name) exclusively (a stale one left by a
// crash is removed first); null when the inbound cannot take it.
[[nodiscard]] platform::UniqueFile CreatePartialFile(std::string_view inbound,
                                                     std::string_view name);

// Gives the complete partial file of `name` the first free name of the
// sequence that starts at `wanted`, without ever replacing an existing entry;
// the name used, or nothing (the partial file is then left for the caller).
[[nodiscard]] std::optional<std::string> PublishPartialFile(std::string_view inbound,
                                                            std::string_view name,
                                                            std::string_view wanted);

// Removes partial files that a crashed run left in the inbound.
void RemoveStalePartialFiles(std::string_view inbound);

}  // namespace kestrel::receive
