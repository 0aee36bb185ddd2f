// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Files a root run creates for the mailer (received files, saved texts) must
// stay usable by the mailer's user: they take the owner of their directory.

#include <string_view>

namespace kestrel::platform {

// When the process runs as root, gives `path` the owner and group of
// `directory` (the directory it was created in). Best effort: does nothing
// for other users, and a failure leaves the file as it is; false then.
bool GiveDirectoryOwner(std::string_view path, std::string_view directory);

}  // namespace kestrel::platform
