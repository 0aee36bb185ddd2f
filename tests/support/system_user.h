// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Unprivileged system users for tests that run as root: the owner of a
// mailbox or of the mailer's files, created when missing.

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace kestrel::testing {

struct SystemUser {
  uid_t uid = 0;
  gid_t gid = 0;
};

// The user `name` (a system user without home or shell, created when missing);
// nothing when not running as root or when it cannot be created.
[[nodiscard]] std::optional<SystemUser> UnprivilegedUser(const char* name);

// Runs `body` in a child process that has dropped root for `user`, with
// `extra_group` as its one supplementary group, and returns what it returned:
// the program as the mailer's user runs it. Nothing when the child could not
// become that user or did not end within 30 seconds.
[[nodiscard]] std::optional<std::string> RunAs(const SystemUser& user, gid_t extra_group,
                                               const std::function<std::string()>& body);

}  // namespace kestrel::testing
