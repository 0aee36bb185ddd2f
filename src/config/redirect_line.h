// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The REDIRECT line of the configuration file.

#include <string_view>

#include "config/configuration.h"

namespace kestrel::config {

// Adds one entry for "REDIRECT address e-mail [name ...]" (the first "=" of
// the line already a blank); counted as ignored once the table is full (the
// scan reports it), with a remark when the e-mail address has no "@", and with
// a remark that makes the side unusable when the address is no FidoNet address.
void AddRedirectLine(std::string_view line, Configuration& configuration);

}  // namespace kestrel::config
