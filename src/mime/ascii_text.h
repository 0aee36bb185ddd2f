// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// ASCII helpers for text that comes from mail (and anywhere else): letter
// case and what may be shown of it.

#include <string>
#include <string_view>

namespace kestrel::mime {

// ASCII upper case.
[[nodiscard]] std::string UpperCase(std::string_view text);

// Control characters shown as "?", so that text from a file or a mail cannot
// disturb a log line or a pane.
[[nodiscard]] std::string Printable(std::string_view text);

}  // namespace kestrel::mime
