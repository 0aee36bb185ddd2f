// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// How a child program starts: with no signal blocked and SIGPIPE and the exit
// signals at their defaults, whatever this process or the spawning thread
// does with them (the exit signals are blocked for their watcher, SIGPIPE is
// ignored), so that SIGTERM ends the child and a broken pipe stops it.

#include <spawn.h>

namespace kestrel::platform {

class ChildStart {
 public:
  // `own_group`: the child leads a process group of its own, so that what it
  // starts in turn can be ended with it (kill of the negative pid).
  explicit ChildStart(bool own_group);
  ~ChildStart();
  ChildStart(const ChildStart&) = delete;
  ChildStart& operator=(const ChildStart&) = delete;

  [[nodiscard]] const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

}  // namespace kestrel::platform
