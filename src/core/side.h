// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace kestrel::core {

// Every log line, pane, progress strip and connection belongs to one side.
enum class Side { Sending, Receiving };

}  // namespace kestrel::core
