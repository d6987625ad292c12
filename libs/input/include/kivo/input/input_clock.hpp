// InputClock: the monotonic time of the input library (click timing, the
// bounded waits of starting and stopping a worker), injectable so that tests
// move time instead of waiting for it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace kivo::input {

class InputClock {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  virtual ~InputClock() = default;

  // Safe for concurrent use.
  virtual time_point now() const = 0;

  // Waits on `cv` with `lock` held until `ready()` holds or the clock reaches
  // `deadline`; returns ready(). `lock` is held again on return.
  virtual bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                          time_point deadline, const std::function<bool()>& ready) const = 0;

  // The process's steady clock.
  static const InputClock& system();
};

// For tests: time moves only by advance(), or when a wait expires.
//
// By default a wait lasts until its condition holds or advance() moves the
// clock to its deadline, so a worker that answers late is never taken for a
// time-out. With waits_expire set, a wait whose condition does not already
// hold gives up at once and moves the clock to its deadline: the way to drive
// a time-out path without waiting for it.
class ManualInputClock final : public InputClock {
 public:
  time_point now() const override;
  bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                  time_point deadline, const std::function<bool()>& ready) const override;

  void advance(std::chrono::nanoseconds by);
  void set_waits_expire(bool expire) { waits_expire_.store(expire); }

 private:
  void move_to(time_point at) const;

  mutable std::mutex mutex_;
  mutable time_point now_{std::chrono::seconds(1'000)};
  std::atomic<bool> waits_expire_{false};
};

}  // namespace kivo::input
