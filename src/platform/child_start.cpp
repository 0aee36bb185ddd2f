// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/child_start.h"

#include <signal.h>

#include <initializer_list>

namespace kestrel::platform {

ChildStart::ChildStart(bool own_group) {
  posix_spawnattr_init(&attributes_);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attributes_, &none);
  posix_spawnattr_setsigdefault(&attributes_, &defaults);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (own_group) {
    posix_spawnattr_setpgroup(&attributes_, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&attributes_, flags);
}

ChildStart::~ChildStart() {
  posix_spawnattr_destroy(&attributes_);
}

}  // namespace kestrel::platform
