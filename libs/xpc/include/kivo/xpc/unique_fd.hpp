// UniqueFd: sole owner of one file descriptor, closed when the owner goes away.
#pragma once

#include <utility>

#include "kivo/core/result.hpp"

namespace kivo::xpc {

class UniqueFd {
 public:
  UniqueFd() = default;
  // Takes ownership of `fd` (a negative value means none).
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without closing.
  int release() noexcept { return std::exchange(fd_, -1); }
  // Closes the current descriptor, if any, and takes `fd`.
  void reset(int fd = -1) noexcept;

  // A new descriptor of the same open file, close-on-exec.
  Result<UniqueFd> duplicate() const;

 private:
  int fd_ = -1;
};

}  // namespace kivo::xpc
