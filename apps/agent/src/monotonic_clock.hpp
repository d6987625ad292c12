// The monotonic clock behind every deadline of the socket I/O, injectable so
// that tests move time instead of waiting for it.
#pragma once

#include <chrono>

namespace kivo::agent {

class MonotonicClock {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  virtual ~MonotonicClock() = default;
  // Safe for concurrent use.
  virtual time_point now() const = 0;

  // The process's steady clock.
  static const MonotonicClock& system();
};

}  // namespace kivo::agent
