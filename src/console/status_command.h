// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// "kestrel --status" and "kestrel --status=json": the state of the links and
// of the receiving side, for a person or a monitor, without changing a file.
// The exit status: 0 all is well, 1 something waits longer than STALEHOURS or
// a side's last run failed, 2 no side's configuration can be used.

#include <string>
#include <vector>

namespace kestrel::console {

enum class StatusFormat { Text, Json };

// switches: the command line's, for /CFG:.
int RunStatusCommand(StatusFormat format, const std::vector<std::string>& switches);

}  // namespace kestrel::console
