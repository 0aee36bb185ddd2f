// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// One open file descriptor with one owner: closed when the owner goes, so no
// early return leaks it and none is closed twice.

#include <utility>

namespace kestrel::platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives the descriptor up without closing it.
  [[nodiscard]] int Release() { return std::exchange(fd_, -1); }
  // Closes the one held (its error and errno are lost) and holds `fd`.
  void Reset(int fd = -1);
  // Closes now, for writers whose data is only safe once close succeeded:
  // false with errno set when it failed. Holds nothing afterwards either way.
  [[nodiscard]] bool Close();

 private:
  int fd_ = -1;
};

}  // namespace kestrel::platform
