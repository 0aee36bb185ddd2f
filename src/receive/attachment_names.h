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

struct CreatedFile {
  platform::UniqueFile file;  // null when nothing could be created
  std::string name;           // the name used (may differ from the one asked for)
  bool no_free_name = false;  // every variant of the name was taken
};

// Creates the file under the first free variant of `name`, exclusively, so a
// file (or link) that appears meanwhile is never opened or overwritten.
[[nodiscard]] CreatedFile CreateUnderFreeName(std::string_view inbound, std::string_view name);

}  // namespace kestrel::receive
