// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Names of received attachments: taken from untrusted mail, so they are cut to
// a bare file name and cleaned before anything is created in the inbound, and
// an existing file is never overwritten.

#include <optional>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/program_home.h"

namespace kestrel::receive {

// Names are cut to this many bytes (keeping their extension): far above
// FidoNet's 8.3 names, with room below the file system's limit for the
// partial file's additions.
inline constexpr std::size_t kMaxNameBytes = 128;
// A name and its variants tried before the inbound counts as full for it.
inline constexpr std::size_t kMaxNameCandidates = 1000;

// A name that is safe to create inside the inbound: what follows the last
// ":", "\" or "/", control characters (NUL included) replaced by "_",
// surrounding blanks removed, cut to kMaxNameBytes at a character boundary.
// Empty when nothing usable is left ("", ".", "..").
[[nodiscard]] std::string SafeAttachmentName(std::string_view name);

// A name for a file part that came without one: the stem (the number of the
// message's saved text), the part's number and an extension for its type,
// such as "00000042-2-1.bin".
[[nodiscard]] std::string GeneratedName(std::string_view stem, std::string_view part,
                                        std::string_view media_type);

// The name itself when no file of that name exists in `inbound` (which ends in
// a separator), else the first free variant. A variant keeps the extension,
// so a tosser still sees "*.pkt", "*.tic" or "*.mo0", and varies the base
// name: eight hexadecimal digits (packets, bundles) count up as a number
// ("2f6e0100.pkt", "2f6e0101.pkt"), any other base gets "_1", "_2", ....
// A name that is not taken still counts as taken when it ends in
// kPartialSuffix (a later run would remove the file as a stale partial one)
// or, when the inbound is the program's home, when it is one of the home's
// own files (IsProgramFileName). Nothing when kMaxNameCandidates are all taken.
[[nodiscard]] std::optional<std::string> FindFreeName(std::string_view inbound,
                                                      std::string_view name);

// An attachment is written under a hidden name beside its final one and
// appears under the final name only once it is complete, so software that
// watches the inbound never picks up half a file, not even after a crash.
// The suffix keeps patterns such as "*.PKT" from matching the partial file.
using platform::kPartialSuffix;

// ".NAME.kestrel-partial": where the attachment `name` is written.
[[nodiscard]] std::string PartialName(std::string_view name);

// Creates inbound + PartialName(name) exclusively (a stale one left by a
// crash is removed first); null when the inbound cannot take it.
[[nodiscard]] platform::UniqueFile CreatePartialFile(std::string_view inbound,
                                                     std::string_view name);

// Gives the complete partial file of `name` the first free name among
// `wanted` and its variants, without ever replacing an existing entry;
// the name used, or nothing (the partial file is then left for the caller;
// errno is EEXIST when every candidate was taken).
[[nodiscard]] std::optional<std::string> PublishPartialFile(std::string_view inbound,
                                                            std::string_view name,
                                                            std::string_view wanted);

// Removes partial files that a crashed run left in the inbound.
void RemoveStalePartialFiles(std::string_view inbound);

}  // namespace kestrel::receive
