// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// One line of the configuration file, taken into the configuration record.

#include <string>
#include <string_view>

#include "config/configuration.h"
#include "core/side.h"

namespace kestrel::config {

// Sets the common fields and those of the side to their defaults (the
// sending side's redirect table and text mode included).
void ResetForRead(core::Side side, Configuration& configuration);

// Takes one line as read from the file (at most 255 characters, no line end):
// comments, blank lines and section headers are skipped, the first "=" becomes
// a blank, and the first word, upper-cased, selects the key. Keys of the other
// side are ignored; an unknown key is a remark that makes the side unusable,
// naming `where` (file and line) and the key it most likely meant. Throws
// ConversionError for a malformed OURZONE.
void TakeConfigurationLine(core::Side side, std::string line, Configuration& configuration,
                           std::string_view where = {});

}  // namespace kestrel::config
