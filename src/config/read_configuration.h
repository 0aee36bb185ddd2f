// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Reads the configuration file for one side.

#include <string>

#include "config/configuration.h"
#include "core/log.h"
#include "core/side.h"

namespace kestrel::config {

// Reads config_file_name (a relative name is found in the program's home) for
// one side. Messages go to that side, marked as problems. True when the side
// can work: the file was read, every key in it is known, the side's required
// settings are there and the directories and files it names exist. Throws
// ConversionError for a malformed OURZONE.
//
// One read at a time: the polling thread and the user-interface thread take
// turns, and the user-interface thread carries out the pane writes of a read
// it waits for.
[[nodiscard]] bool ReadConfiguration(core::Side side, const std::string& config_file_name,
                                     Configuration& configuration, core::Logger& logger);

}  // namespace kestrel::config
