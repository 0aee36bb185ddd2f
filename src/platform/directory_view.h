// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A directory's names as one read of it found them, for the case-insensitive
// look-ups of a whole run: a name is tried exactly first, and only a name that
// does not exist as written is looked up here. Without a view each such
// look-up reads the whole directory, so the cost of a received file would
// grow with the files already waiting in the inbound.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::platform {

// While it lives, names in `directory` that do not exist as written are looked
// up in one read of it, kept up to date with the names noted (NoteName).
// Names others create meanwhile in another letter case are not seen, which can
// only give a new file a name that differs from an existing one in case.
class DirectoryView {
 public:
  explicit DirectoryView(std::string_view directory);
  ~DirectoryView();
  DirectoryView(const DirectoryView&) = delete;
  DirectoryView& operator=(const DirectoryView&) = delete;

  // False when the directory could not be read.
  [[nodiscard]] bool readable() const { return readable_; }
  // The real names the read found (with those noted since), one of each set
  // of case variants (the first in byte order), without "." and "..".
  [[nodiscard]] std::vector<std::string> Names() const;

 private:
  bool readable_ = false;
  std::string key_;
};

// Tells the view of its directory, if there is one, that `path` was created.
void NoteName(std::string_view path);

namespace internal {
// For the name resolution: nothing when `directory` (a real path) has no
// view; else the real name of a case variant of `component`, empty when the
// view knows none.
[[nodiscard]] std::optional<std::string> LookUpInView(const std::string& directory,
                                                      const std::string& component);
}  // namespace internal

}  // namespace kestrel::platform
