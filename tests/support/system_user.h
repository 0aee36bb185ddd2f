// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Unprivileged system users for tests that run as root: the owner of a
// mailbox or of the mailer's files, created when missing.

#include <sys/types.h>

#include <optional>

namespace kestrel::testing {

struct SystemUser {
  uid_t uid = 0;
  gid_t gid = 0;
};

// The user `name` (a system user without home or shell, created when missing);
// nothing when not running as root or when it cannot be created.
[[nodiscard]] std::optional<SystemUser> UnprivilegedUser(const char* name);

}  // namespace kestrel::testing
