// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/system_user.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

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

namespace {

constexpr auto kChildLimit = std::chrono::seconds(30);

// What the child writes until it closes its end, for at most kChildLimit.
bool ReadToEnd(int fd, std::string& out) {
  const auto deadline = std::chrono::steady_clock::now() + kChildLimit;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) return false;
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) return false;
    if (got == 0) return true;
    out.append(buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace

std::optional<std::string> RunAs(const SystemUser& user, gid_t extra_group,
                                 const std::function<std::string()>& body) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    if (setgroups(1, &extra_group) != 0 || setgid(user.gid) != 0 || setuid(user.uid) != 0) {
      _exit(2);
    }
    const std::string out = body();
    for (std::size_t at = 0; at < out.size();) {
      const ssize_t put = write(fds[1], out.data() + at, out.size() - at);
      if (put <= 0) _exit(3);
      at += static_cast<std::size_t>(put);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  const bool ended = child > 0 && ReadToEnd(fds[0], out);
  close(fds[0]);
  if (child < 0) return std::nullopt;
  if (!ended) kill(child, SIGKILL);
  int status = -1;
  if (waitpid(child, &status, 0) != child || !ended) return std::nullopt;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

}  // namespace kestrel::testing
