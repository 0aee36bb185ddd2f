// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Windows-like file names on POSIX. Both "\" and "/" separate components, and a
// component that does not exist under its exact name is matched regardless of
// letter case. Among several case variants of one name, the first in byte order
// (strcmp) wins, so the choice is fixed and repeatable.

#include <string>
#include <string_view>
#include <vector>

namespace kestrel::platform {

// The components of a name, split at "\" and "/"; empty components are dropped.
[[nodiscard]] std::vector<std::string> SplitName(std::string_view name);

// True when the name starts with a separator.
[[nodiscard]] bool IsAbsoluteName(std::string_view name);

// The POSIX path the name refers to, a relative name taken from the program's
// home (InHome): each existing component under its real name; the components
// from the first one that does not exist on are kept as written, so a file
// about to be created gets the name it was given.
[[nodiscard]] std::string ResolveName(std::string_view name);

// The name completed against the working directory when it is relative (for
// names given to the process, such as $KESTREL_HOME).
[[nodiscard]] std::string MakeAbsoluteName(std::string_view name);

// The last component of a name (after the last "\" or "/").
[[nodiscard]] std::string BaseName(std::string_view name);

// The name with the extension of its last component (from its last ".")
// replaced by `extension` (given without the dot); a name without one gains it.
[[nodiscard]] std::string WithExtension(std::string_view name, std::string_view extension);

// Case-insensitive match of a file name against a pattern with "*" and "?".
[[nodiscard]] bool WildcardMatch(std::string_view pattern, std::string_view name);

}  // namespace kestrel::platform
