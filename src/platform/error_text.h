// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The system's own words for an errno value, for log lines that say why.

#include <string>

namespace kestrel::platform {

// "Connection refused" for ECONNREFUSED; thread-safe.
[[nodiscard]] std::string ErrorText(int error);

}  // namespace kestrel::platform
