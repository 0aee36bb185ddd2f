// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Reads the configuration file for one side.

#include <string>

#include "config/configuration.h"
#include "core/log.h"
#include "core/side.h"

namespace kestrel::config {

// Reads config_file_name (a relative name is found in the program's home) for
// one side. Messages go to the sending side's log. True when the side can
// work. Throws ConversionError for a malformed OURZONE.
//
// One read at a time: the polling thread and the user-interface thread take
// turns, and the user-interface thread carries out the pane writes of a read
// it waits for.
[[nodiscard]] bool ReadConfiguration(core::Side side, const std::string& config_file_name,
                                     Configuration& configuration, core::Logger& logger);

}  // namespace kestrel::config
