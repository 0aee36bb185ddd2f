// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Where the tests that run the program itself find it.

#include <string>

namespace kestrel::testing {

// The build's "kestrel": at the top of the build, beside the tests' directory.
[[nodiscard]] std::string ProgramPath();

}  // namespace kestrel::testing
