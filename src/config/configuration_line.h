// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// One line of the configuration file, taken into the configuration record.

#include <string>

#include "config/configuration.h"
#include "core/side.h"

namespace kestrel::config {

// Sets the common fields and those of the side to their defaults (the
// sending side's redirect table and text mode included).
void ResetForRead(core::Side side, Configuration& configuration);

// Takes one line as read from the file (at most 255 characters, no line end):
// comments and empty lines are skipped, the first "=" becomes a blank, and the
// first word, upper-cased, selects the key; unknown keys and keys of the other
// side are ignored. Throws ConversionError for a malformed OURZONE.
void TakeConfigurationLine(core::Side side, std::string line, Configuration& configuration);

}  // namespace kestrel::config
