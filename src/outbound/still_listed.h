// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Whether a sent file is still wanted by some list of the mailer: a flow file
// of any link of the outbound (every zone and point, redirected or not) or a
// VFIDO list. Such a file is neither deleted nor truncated after sending.

#include <string>

#include "config/configuration.h"

namespace kestrel::outbound {

// The real path of the first flow file or list with a line that still names
// the file at `real_path` for sending (see LineNamesFile); empty when none.
// Lists that cannot be read are passed over.
[[nodiscard]] std::string ListStillNaming(const config::Configuration& configuration,
                                          const std::string& real_path);

}  // namespace kestrel::outbound
