// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/directory_owner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace kestrel::platform {

bool GiveDirectoryOwner(std::string_view path, std::string_view directory) {
  if (::geteuid() != 0) return true;
  struct stat owner {};
  if (::stat(std::string(directory).c_str(), &owner) != 0) return false;
  // Never through a link: the file is ours, what a link points to may not be.
  return ::lchown(std::string(path).c_str(), owner.st_uid, owner.st_gid) == 0;
}

}  // namespace kestrel::platform
