// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The program's version, as the help text, the X-Mailer line, the header
// template and the tear line of packed netmail show it.

#include <string_view>

namespace kestrel::core {

inline constexpr std::string_view kVersion = "2.00";

}  // namespace kestrel::core
