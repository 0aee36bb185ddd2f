// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/system_user.h"

#include <pwd.h>
#include <unistd.h>

#include "support/mail_servers.h"

namespace kestrel::testing {

std::optional<SystemUser> UnprivilegedUser(const char* name) {
  if (geteuid() != 0) return std::nullopt;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (const passwd* entry = getpwnam(name)) return SystemUser{entry->pw_uid, entry->pw_gid};
    // A parallel test may be creating it at the same moment; look again after.
    (void)RunCommand({"/usr/sbin/useradd", "--system", "--no-create-home", "--home-dir",
                      "/nonexistent", "--shell", "/usr/sbin/nologin", name},
                     std::chrono::seconds(30));
  }
  return std::nullopt;
}

}  // namespace kestrel::testing
