#include "kivo/input/input_clock.hpp"

namespace kivo::input {
namespace {

class SystemInputClock final : public InputClock {
 public:
  time_point now() const override { return std::chrono::steady_clock::now(); }

  bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                  time_point deadline, const std::function<bool()>& ready) const override {
    return cv.wait_until(lock, deadline, ready);
  }
};

// How often a manual wait looks at the clock; the waker's notification ends
// the wait sooner whenever the condition becomes true.
constexpr auto kManualWaitSlice = std::chrono::milliseconds(1);

}  // namespace

const InputClock& InputClock::system() {
  static const SystemInputClock clock;
  return clock;
}

InputClock::time_point ManualInputClock::now() const {
  std::lock_guard guard(mutex_);
  return now_;
}

bool ManualInputClock::wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                                  time_point deadline, const std::function<bool()>& ready) const {
  while (!ready()) {
    if (waits_expire_.load()) {
      move_to(deadline);
      return false;
    }
    if (now() >= deadline) return false;
    // advance() comes from another thread that knows nothing of `cv`, so
    // the clock is looked at again after each short slice.
    cv.wait_for(lock, kManualWaitSlice);
  }
  return true;
}

void ManualInputClock::advance(std::chrono::nanoseconds by) {
  std::lock_guard guard(mutex_);
  now_ += std::chrono::duration_cast<time_point::duration>(by);
}

void ManualInputClock::move_to(time_point at) const {
  std::lock_guard guard(mutex_);
  if (now_ < at) now_ = at;
}

}  // namespace kivo::input
