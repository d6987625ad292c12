#include "kivo/capture/capture_clock.hpp"

namespace kivo::capture {
namespace {

class SystemCaptureClock final : public CaptureClock {
 public:
  time_point now() const override { return std::chrono::steady_clock::now(); }

  std::uint64_t unix_ms() const override {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
    return ms > 0 ? static_cast<std::uint64_t>(ms) : 0;
  }

  bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                  time_point deadline, const std::function<bool()>& ready) const override {
    return cv.wait_until(lock, deadline, ready);
  }
};

}  // namespace

const CaptureClock& CaptureClock::system() {
  static const SystemCaptureClock clock;
  return clock;
}

CaptureClock::time_point ManualCaptureClock::now() const {
  std::lock_guard guard(mutex_);
  return now_;
}

std::uint64_t ManualCaptureClock::unix_ms() const {
  std::lock_guard guard(mutex_);
  return unix_ms_;
}

bool ManualCaptureClock::wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable&,
                                    time_point deadline, const std::function<bool()>& ready) const {
  // Whatever would wake the waiter has either happened already or will only
  // happen after the wait in the test's script: give up at once, with the
  // time the wait would have taken spent.
  if (ready()) return true;
  (void)lock;
  std::lock_guard guard(mutex_);
  if (now_ < deadline) now_ = deadline;
  return false;
}

void ManualCaptureClock::advance(std::chrono::nanoseconds by) {
  std::lock_guard guard(mutex_);
  now_ += std::chrono::duration_cast<time_point::duration>(by);
}

void ManualCaptureClock::set_unix_ms(std::uint64_t value) {
  std::lock_guard guard(mutex_);
  unix_ms_ = value;
}

}  // namespace kivo::capture
