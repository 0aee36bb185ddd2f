#pragma once
// Reads the configuration file for one side.

#include <atomic>
#include <string>

#include "config/configuration.h"
#include "core/log.h"
#include "core/side.h"

namespace kestrel::config {

// True while a read is under way; keeps the polling thread and the
// user-interface thread from reading at the same time.
extern std::atomic<bool> ConfigBusy;

// Reads config_file_name (relative names are found in the program's home,
// which becomes the current directory) for one side. Messages go to the
// sending side's log. True when the side can work. Throws ConversionError for
// a malformed OURZONE; ConfigBusy is released on every way out.
[[nodiscard]] bool ReadConfiguration(core::Side side, const std::string& config_file_name,
                                     Configuration& configuration, core::Logger& logger);

}  // namespace kestrel::config
