// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kestrel::platform {
namespace {

bool IsOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

// Each way an owner lets go: the descriptor is closed exactly once, or
// handed on open, and errno tells the caller's story, not the close's.
TEST(UniqueFd, ClosesOnceWhicheverWayItsOwnerLetsGo) {
  int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  {
    UniqueFd first(raw);
    UniqueFd second(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_TRUE(IsOpen(raw));
    errno = ENOENT;
  }
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(IsOpen(raw));

  raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  UniqueFd released(raw);
  EXPECT_EQ(released.Release(), raw);
  released.Reset();
  EXPECT_TRUE(IsOpen(raw));
  ::close(raw);

  UniqueFd checked(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int checked_fd = checked.get();
  EXPECT_TRUE(checked.Close());
  EXPECT_FALSE(checked.valid());
  EXPECT_FALSE(IsOpen(checked_fd));
  EXPECT_TRUE(checked.Close());  // holding nothing, there is nothing to fail
}

// A close the kernel refuses is reported to the writer that asked.
TEST(UniqueFd, CheckedCloseReportsAFailedClose) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  ::close(pipe_fds[1]);
  UniqueFd stale(pipe_fds[0]);
  ::close(pipe_fds[0]);  // someone else closed it behind the owner's back
  errno = 0;
  EXPECT_FALSE(stale.Close());
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace kestrel::platform
