// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Files the server confirmed in an earlier run whose bookkeeping failed (a
// packet that could not be deleted, a flow-file line that could not be
// removed): they are still queued, but must not be mailed again. The sending
// side's record of confirmed messages keeps them; the scans ask it.

#include <cstdint>
#include <optional>
#include <string>

namespace kestrel::outbound {

class UntidiedFiles {
 public:
  virtual ~UntidiedFiles() = default;
  // When `node` got the file at `real_path` and it was not tidied since: the
  // time the server confirmed it (seconds since 1970). Only while the file
  // is the one that went, of the same size and modification time: a file
  // changed since is queued anew.
  [[nodiscard]] virtual std::optional<std::int64_t> ConfirmedAt(
      const std::string& node, const std::string& real_path) const = 0;
};

}  // namespace kestrel::outbound
