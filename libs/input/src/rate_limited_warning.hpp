// A warning that is logged at most once per 30 seconds. Each kind keeps the
// time it was last logged behind a lock of its own; the first one is always
// logged.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>

#include "kivo/input/input_clock.hpp"

namespace kivo::input::detail {

class RateLimitedWarning {
 public:
  static constexpr auto kInterval = std::chrono::seconds(30);

  // Whether the warning may be logged now; if so, now counts as its last
  // emission.
  bool admit(const InputClock& clock) {
    const InputClock::time_point now = clock.now();
    std::lock_guard guard(mutex_);
    if (last_ && now - *last_ < kInterval) return false;
    last_ = now;
    return true;
  }

 private:
  std::mutex mutex_;
  std::optional<InputClock::time_point> last_;
};

// The two warnings a worker may give, shared by all generations of one
// injector.
struct WorkerWarnings {
  RateLimitedWarning initialization_failed;
  RateLimitedWarning command_failed;
};

}  // namespace kivo::input::detail
