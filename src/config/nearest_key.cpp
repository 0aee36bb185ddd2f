// SPDX-License-Identifier: GPL-2.0-or-later
#include "config/nearest_key.h"

#include <algorithm>
#include <vector>

namespace kestrel::config {

namespace {

// Longer words may carry two slips; short ones only one, or anything would
// match anything.
constexpr std::size_t kTwoEditLength = 8;
// Keys are short; longer words are no typo of one.
constexpr std::size_t kMaxCompared = 64;

// Edits between two words: insert, delete, replace, or swap two neighbours.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  const std::size_t columns = b.size() + 1;
  std::vector<std::size_t> d((a.size() + 1) * columns);
  auto at = [&](std::size_t i, std::size_t j) -> std::size_t& { return d[i * columns + j]; };
  for (std::size_t i = 0; i <= a.size(); ++i) at(i, 0) = i;
  for (std::size_t j = 0; j <= b.size(); ++j) at(0, j) = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
    }
  }
  return at(a.size(), b.size());
}

}  // namespace

std::string NearestKey(std::string_view word, std::span<const std::string_view> keys) {
  if (word.empty() || word.size() > kMaxCompared) return {};
  const std::size_t limit = word.size() >= kTwoEditLength ? 2 : 1;
  std::string_view best;
  std::size_t best_distance = limit + 1;
  for (const std::string_view key : keys) {
    const std::size_t distance = EditDistance(word, key);
    if (distance < best_distance) {
      best = key;
      best_distance = distance;
    }
  }
  return std::string(best);
}

}  // namespace kestrel::config
