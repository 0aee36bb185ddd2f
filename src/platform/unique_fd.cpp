// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/unique_fd.h"

#include <unistd.h>

#include <cerrno>

namespace kestrel::platform {

void UniqueFd::Reset(int fd) {
  const int old = std::exchange(fd_, fd);
  if (old < 0 || old == fd) return;
  // A destructor's close must not change what the caller's errno says.
  const int error = errno;
  ::close(old);
  errno = error;
}

bool UniqueFd::Close() {
  const int old = std::exchange(fd_, -1);
  return old < 0 || ::close(old) == 0;
}

}  // namespace kestrel::platform
