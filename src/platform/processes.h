// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Processes of this host, as far as busy flags need them.

namespace kestrel::platform {

// This process's id.
[[nodiscard]] long OwnProcessId();

// True when a process with this id runs on this host, whoever owns it.
[[nodiscard]] bool ProcessRunning(long pid);

}  // namespace kestrel::platform
