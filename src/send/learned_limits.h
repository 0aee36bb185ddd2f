// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Message sizes a server refused after their data without announcing SIZE,
// remembered per route (the SMTP host and the recipient's domain) in the
// home, so that a later run cuts such a file into pieces below that size
// instead of uploading it again to be refused.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/reply.h"

namespace kestrel::send {

// Whether a permanent answer to a message's data says it was too large: 552,
// the enhanced code 5.3.4, or the words "too big", "too large" or "size".
[[nodiscard]] bool RefusedForSize(const net::Reply& reply);

// The route of a message: "HOST DOMAIN", the domain of `address` in lower
// case (the whole address when it has no "@").
[[nodiscard]] std::string RouteOf(std::string_view host, std::string_view address);

class LearnedLimits {
 public:
  LearnedLimits();  // the home's file
  explicit LearnedLimits(std::string path) : path_(std::move(path)) {}

  // Reads the file; a missing one is empty, an unreadable one too (said so).
  [[nodiscard]] std::optional<std::string> Load(std::time_t now);

  // The size learned for `route`; 0 when none.
  [[nodiscard]] std::uint64_t For(const std::string& route) const;

  // A message of `bytes` was refused on `route`: the smaller size is kept
  // and the file written whole; a failure to write, for the log.
  [[nodiscard]] std::optional<std::string> Learn(const std::string& route, std::uint64_t bytes,
                                                 std::time_t now);

 private:
  struct Entry {
    std::string route;
    std::uint64_t bytes = 0;
    std::time_t when = 0;
  };
  [[nodiscard]] std::string Content() const;

  std::string path_;
  std::vector<Entry> entries_;
};

}  // namespace kestrel::send
